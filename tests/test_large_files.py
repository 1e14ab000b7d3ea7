"""The duckdb the module runs with reads files past 2 GiB.  On 32-bit ARM
that duckdb is the project's own build (scripts/duckdb-armhf), and a
32-bit build reads no file past 2 GiB unless it is compiled for 64-bit file
offsets: a score table on a board outgrows that."""
import duckdb


def test_a_parquet_footer_past_3_gib_is_read(tmp_path):
    """parquet_schema reads only the footer at the end of the file: here
    at 3 GiB, after a hole that takes no disk space."""
    small = tmp_path / "small.parquet"
    con = duckdb.connect()
    con.execute(f"COPY (SELECT 42 AS answer) TO '{small}' (FORMAT parquet)")
    big = tmp_path / "big.parquet"
    with open(big, "wb") as f:
        f.truncate(3 * 2**30)
        f.seek(3 * 2**30)
        f.write(small.read_bytes())
    assert con.execute(f"SELECT size FROM read_blob('{big}')").fetchone()[0] == (
        3 * 2**30 + small.stat().st_size)
    names = con.execute(f"SELECT name FROM parquet_schema('{big}')").fetchall()
    assert names[-1] == ("answer",)
    con.close()
