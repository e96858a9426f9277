"""The survey-like frame both benchmarks use: 80 five-point items with value labels, 10 normal
variables, 5 dates and 5 short texts."""

LABELS = {1.0: "Strongly disagree", 2.0: "Disagree", 3.0: "Neutral", 4.0: "Agree",
          5.0: "Strongly agree"}


def survey_frame(rows):
    """(pandas frame, value labels per item) of `rows` rows by 100 columns."""
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(42)
    cols = {}
    labels = {}
    for i in range(80):
        cols[f"q{i}"] = rng.integers(1, 6, rows).astype("float64")
        labels[f"q{i}"] = LABELS
    for i in range(10):
        cols[f"x{i}"] = rng.normal(50, 10, rows)
    base = np.datetime64("2000-01-01")
    for i in range(5):
        days = rng.integers(0, 9000, rows)
        cols[f"d{i}"] = pd.to_datetime(base + days.astype("timedelta64[D]")).date
    words = np.array(["alpha", "bravo", "charlie", "delta", "echo", "foxtrot", "golf"])
    for i in range(5):
        n = rng.integers(2, 7, rows)
        cols[f"s{i}"] = [" ".join(words[: k]) + f" {j % 97}" for j, k in enumerate(n)]
    return pd.DataFrame(cols), labels
