"""The README's quickstart runs as shown (the blocks that write SPSS files are run with the
writer's tests, in test_pkg_write.py)."""

from readme_blocks import blocks, run_blocks


def test_readme_has_both_kinds_of_blocks():
    kinds = {lang for lang, _, _ in blocks()}
    assert kinds == {"python", "sh"}


def test_readme_blocks_run(tmp_path):
    selected = [block for block in blocks() if not block[2]]
    assert len(selected) >= 5
    done = run_blocks(selected, tmp_path)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    assert done.stdout.count("--- README block") == len(selected)
    # What the command-line block promises, it made.
    assert (tmp_path / "survey.parquet").stat().st_size > 0
    assert (tmp_path / "survey.csv").read_text().startswith('"id"')
