"""The korvel command line: reports, exit statuses, messages on bad files, and conversions
out of SPSS files (conversions into SPSS files are in test_pkg_write.py)."""

import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pyreadstat
import pytest

import korvel
from pkg_helpers import SAMPLE, korvel_cli


@pytest.fixture(scope="module")
def relabelled(tmp_path_factory):
    """The sample with one variable label changed, written by a peer (pyreadstat)."""
    frame, meta = pyreadstat.read_sav(str(SAMPLE), user_missing=True)
    labels = dict(zip(meta.column_names, meta.column_labels))
    first = meta.column_names[0]
    labels[first] = "a label korvel's sample does not have"
    path = tmp_path_factory.mktemp("cli") / "relabelled.sav"
    pyreadstat.write_sav(frame, str(path), column_labels=labels)
    return path


@pytest.fixture
def truncated(tmp_path):
    path = tmp_path / "truncated.sav"
    path.write_bytes(SAMPLE.read_bytes()[:400])
    return path


@pytest.mark.parametrize("command", [[], ["info"], ["describe"], ["diff"], ["convert"]], ids=lambda c: c[0] if c else "main")
def test_help_of_each_command(command):
    done = korvel_cli(*command, "--help")
    assert done.returncode == 0
    assert done.stdout.startswith("Usage: ")
    assert all(name in done.stdout for name in ("info", "describe", "diff", "convert")) or command


def test_info_prints_the_summary():
    done = korvel_cli("info", SAMPLE)
    assert done.returncode == 0, done.stderr
    meta = korvel.read_sav_meta(SAMPLE)
    assert done.stdout.startswith("SPSS Metadata Summary")
    assert f"Columns:      {meta.number_columns}" in done.stdout


def test_describe_names_each_variable():
    names = korvel.read_sav_meta(SAMPLE).variable_names[:2]
    done = korvel_cli("describe", SAMPLE, *names)
    assert done.returncode == 0, done.stderr
    assert [line.split()[1] for line in done.stdout.splitlines() if line.startswith("Variable:")] == names


def test_diff_exit_status_follows_diff(relabelled):
    same = korvel_cli("diff", SAMPLE, SAMPLE)
    assert same.returncode == 0 and "Result: MATCH" in same.stdout
    different = korvel_cli("diff", SAMPLE, relabelled)
    assert different.returncode == 1, different.stderr
    assert "DIFFERENCES FOUND" in different.stdout


@pytest.mark.parametrize(
    "args, message",
    [
        (["info", "/nonexistent/survey.sav"], "does not exist"),
        (["info", "TRUNCATED"], "korvel: error: TRUNCATED: "),
        (["info", "TEXT"], "korvel: error: TEXT: invalid magic number"),
        (["describe", "SAMPLE", "no_such_variable"], "korvel: error: variable 'no_such_variable' not found"),
        (["describe", "SAMPLE"], "Missing argument"),
        (["diff", "SAMPLE", "TRUNCATED"], "korvel: error: TRUNCATED: "),
        (["convert", "TRUNCATED", "OUT.parquet"], "korvel: error: TRUNCATED -> OUT.parquet: "),
        (["convert", "SAMPLE", "OUT.txt"], "unsupported file type '.txt'"),
        (["convert", "SAMPLE", "OUT.parquet", "--level", "3"], "apply to .sav/.zsav output only"),
        (["convert", "SAMPLE", "OUT.sav", "--level", "12"], "Invalid value for '--level'"),
        (["convert", "SAMPLE", "OUT.sav", "--compression", "gzip"], "Invalid value for '--compression'"),
        (["frobnicate"], "No such command"),
    ],
    ids=[
        "missing", "damaged", "not-spss", "unknown-variable", "no-variable", "diff-damaged",
        "convert-damaged", "unsupported-type", "level-without-sav", "level-range", "compression-name",
        "unknown-command",
    ],
)
def test_trouble_is_a_message_and_status_2(args, message, truncated, tmp_path):
    text = tmp_path / "notes.sav"
    text.write_text("not an SPSS file\n" * 20)
    places = {"SAMPLE": str(SAMPLE), "TRUNCATED": str(truncated), "TEXT": str(text), "OUT": str(tmp_path / "out")}

    def fill(word):
        for key, value in places.items():
            word = word.replace(key, value)
        return word

    done = korvel_cli(*map(fill, args))
    assert done.returncode == 2, (done.stdout, done.stderr)
    assert fill(message) in done.stderr
    assert "Traceback" not in done.stderr
    assert not list(tmp_path.glob("out*")), "a failed command leaves no output file"


def _korvel_table():
    table, _ = korvel.read_sav(SAMPLE, to="pyarrow")
    return table


@pytest.mark.parametrize("extension", [".parquet", ".arrow", ".feather"])
def test_convert_to_columnar_files(extension, tmp_path):
    target = tmp_path / f"survey{extension}"
    done = korvel_cli("convert", SAMPLE, target, "--batch-size", "2")
    assert done.returncode == 0, done.stderr
    if extension == ".parquet":
        table = pq.read_table(target)
    else:
        table = pa.ipc.open_file(target).read_all()
    assert table.cast(_korvel_table().schema).equals(_korvel_table())
    # The dictionary travels along, for a later conversion back to SPSS.
    assert b"spss_metadata" in table.schema.metadata


def test_convert_to_csv(tmp_path):
    target = tmp_path / "survey.csv"
    done = korvel_cli("convert", SAMPLE, target)
    assert done.returncode == 0, done.stderr
    ours = pd.read_csv(target)
    expected = _korvel_table().to_pandas()
    assert list(ours.columns) == list(expected.columns)
    numeric = [c for c in expected.columns if pd.api.types.is_float_dtype(expected[c])]
    assert numeric
    pd.testing.assert_frame_equal(ours[numeric], expected[numeric], check_dtype=False)


def test_failed_conversion_keeps_an_existing_target(tmp_path):
    # The dictionary is intact but the case data end early: rows fail after the first batch.
    data = SAMPLE.read_bytes()
    damaged = tmp_path / "short.sav"
    damaged.write_bytes(data[: len(data) - 24])
    target = tmp_path / "survey.parquet"
    target.write_bytes(b"an older conversion")
    done = korvel_cli("convert", damaged, target, "--batch-size", "1")
    assert done.returncode == 2, done.stdout
    assert "korvel: error:" in done.stderr
    assert target.read_bytes() == b"an older conversion"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["short.sav", "survey.parquet"]


def test_duration_text_in_csv():
    from korvel._convert import _duration_text

    cases = {None: None, 0: "0:00:00", 36_610_000_000: "10:10:10", 90_061_500_000: "25:01:01.5", -61_000_000: "-0:01:01"}
    assert {v: _duration_text(v) for v in cases} == cases
