"""TEST DOUBLE for the duckdb module, built on the standard library's sqlite3.

No build of duckdb exists for 32-bit ARM, so the checks that run the module
under emulation there (tests/armhf) put this directory first on sys.path.
It answers only the calls the repair makes, the way duckdb answers them:
connect, execute (SQL, the MIN/MAX/read queries, and the INSERT from a
registered frame), fetchone, fetchall, fetchdf (DOUBLE columns as float64
with NaN for NULL, text as objects with None), register, unregister,
executemany and close.  It is used nowhere else.
"""
import math
import re
import sqlite3

import pandas as pd

__version__ = "test double"


class Error(Exception):
    pass


class CatalogException(Error):
    pass


class BinderException(Error):
    pass


class Result:
    def __init__(self, cursor, columns=None, doubles=()):
        self._cursor = cursor
        self._columns = columns
        self._doubles = doubles

    def fetchone(self):
        return self._cursor.fetchone()

    def fetchall(self):
        return self._cursor.fetchall()

    def fetchdf(self):
        columns = [d[0] for d in self._cursor.description]
        frame = pd.DataFrame.from_records(self._cursor.fetchall(), columns=columns)
        for name in columns:
            if name in self._doubles:
                frame[name] = frame[name].astype("float64")
            else:
                frame[name] = frame[name].astype(object)
        return frame


class DuckDBPyConnection:
    def __init__(self, database):
        self._db = sqlite3.connect(database)
        self._registered = {}

    def _declared(self, table):
        rows = self._db.execute(f"PRAGMA table_info({table})").fetchall()
        if not rows:
            raise CatalogException(f"Catalog Error: Table with name {table} does not exist!")
        return [(name, kind.upper()) for _, name, kind, *_ in rows]

    def execute(self, sql, parameters=()):
        insert = re.fullmatch(r"INSERT INTO (\w+) SELECT \* FROM (\w+)", sql)
        if insert and insert.group(2) in self._registered:
            columns = self._declared(insert.group(1))
            frame = self._registered[insert.group(2)]
            if frame.shape[1] != len(columns):
                raise BinderException(
                    f"Binder Error: table {insert.group(1)} has {len(columns)} columns but "
                    f"{frame.shape[1]} values were supplied")
            rows = [tuple(None if isinstance(v, float) and math.isnan(v) else v for v in row)
                    for row in frame.itertuples(index=False, name=None)]
            marks = ", ".join("?" * len(columns))
            self._db.executemany(f"INSERT INTO {insert.group(1)} VALUES ({marks})", rows)
            self._db.commit()
            return Result(self._db.execute("SELECT 1 WHERE 0"))
        source = re.search(r"\bFROM (\w+)", sql)
        doubles = ()
        if source and not sql.startswith("CREATE"):
            doubles = {name for name, kind in self._declared(source.group(1))
                       if kind in ("DOUBLE", "REAL", "FLOAT")}
        try:
            cursor = self._db.execute(sql, parameters)
        except sqlite3.Error as e:
            raise Error(str(e)) from None
        self._db.commit()
        return Result(cursor, doubles=doubles)

    def executemany(self, sql, rows):
        self._db.executemany(sql, rows)
        self._db.commit()
        return self

    def register(self, name, frame):
        self._registered[name] = frame
        return self

    def unregister(self, name):
        del self._registered[name]
        return self

    def close(self):
        self._db.close()


def connect(database=":memory:"):
    return DuckDBPyConnection(database)
