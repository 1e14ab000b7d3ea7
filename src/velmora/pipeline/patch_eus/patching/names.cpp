// The column names of brz_eus_tahmin and the names of the globals holding duckdb and pandas.
#include "names.hpp"

namespace patch_eus {
namespace names {

Text muta{"muta"};
Text donem{"donem"};
Text eus_skor{"eus_skor"};
Text eus_ihtimal{"eus_ihtimal"};
Text duckdb{"duckdb"};
Text pd{"pd"};

}  // namespace names
}  // namespace patch_eus
