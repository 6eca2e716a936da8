"""Large HMMER tables for the benchmarks, made from the real ones the tests read."""

from pathlib import Path

DATA = Path(__file__).resolve().parent.parent / "tests" / "data" / "hmmer"


def repeat_table(source, path, rows):
    """Writes `rows` rows of the HMMER table `source`, repeated with the targets renamed per round
    (its header above, its closing comments below); returns the source's rows."""
    lines = Path(source).read_text().splitlines(keepends=True)
    comments = [line for line in lines if line.startswith("#")]
    data = [line for line in lines if not line.startswith("#")]
    with open(path, "w") as out:
        out.writelines(comments[:3])
        written, round_no = 0, 0
        while written < rows:
            for line in data[: rows - written]:
                out.write(f"r{round_no}_{line}")
            written += min(len(data), rows - written)
            round_no += 1
        out.writelines(comments[3:])
    return data
