// The names the run is written in: the table's columns and the globals holding duckdb and pandas.
#pragma once

#include "../host/constants.hpp"

namespace patch_eus {
namespace names {

// The columns of brz_eus_tahmin, in table order.
extern Text muta;
extern Text donem;
extern Text eus_skor;
extern Text eus_ihtimal;

// The module globals through which duckdb and pandas are reached at every
// use.
extern Text duckdb;
extern Text pd;

}  // namespace names
}  // namespace patch_eus
