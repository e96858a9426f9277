"""Writes examples/data/survey.sav, the small invented survey that ships with korvel, with
korvel's own writer: value labels, user-missing values (discrete and a range), dates and
times, a very long string, a multiple-response set and notes.

    python scripts/make_sample.py [OUTPUT]
"""

import datetime as dt
import sys
from pathlib import Path

import polars as pl

import korvel

OUTPUT = Path(__file__).resolve().parents[1] / "examples" / "data" / "survey.sav"

COMMENT = (
    "I have used the service for many years. "
    "The staff were friendly, the waiting room was clean and the appointment started on time; "
    "still, booking by telephone took three attempts, the web form lost my answers twice, "
    "and the reminder letter arrived a day after the visit. "
    "Parking is hard to find on market days. "
    "Overall I would recommend it to a neighbour, but please fix the booking system first."
)


def frame() -> pl.DataFrame:
    return pl.DataFrame(
        {
            "id": list(range(1, 9)),
            "region": [1.0, 2.0, 1.0, 3.0, 2.0, 3.0, 4.0, 1.0],
            "age": [34.0, 51.0, 29.0, 62.0, 45.0, 38.0, 999.0, 71.0],
            "income": [52000.5, 61000.0, 38000.75, None, 47500.0, -9.0, 55250.25, 29900.0],
            "satisfaction": [4.0, 5.0, 3.0, 9.0, 2.0, 4.0, 1.0, 5.0],
            "visit": [dt.date(2024, 3, 12), dt.date(2023, 1, 2), dt.date(2024, 7, 15), dt.date(2022, 9, 30),
                      dt.date(2024, 2, 8), dt.date(2023, 11, 21), None, dt.date(2024, 5, 1)],
            "interviewed": [dt.datetime(2024, 6, 1, 9, 30) + dt.timedelta(hours=5 * i) for i in range(8)],
            "duration": [dt.timedelta(minutes=m, seconds=s) for m, s in
                         [(12, 5), (25, 40), (9, 0), (31, 15), (17, 30), (22, 0), (8, 45), (40, 10)]],
            "name": ["Ana Silva", "Bjørn Berg", "Chloé Martin", "Dmitri Ivanov", "Eun-ji Park",
                     "Femi Adeyemi", "Gita Rao", "Hannu Virtanen"],
            "media_tv": [1.0, 0.0, 1.0, 1.0, 0.0, 1.0, 0.0, 1.0],
            "media_radio": [0.0, 0.0, 1.0, 1.0, 1.0, 0.0, 0.0, 1.0],
            "media_web": [1.0, 1.0, 1.0, 0.0, 1.0, 1.0, 1.0, 0.0],
            "comment": [COMMENT, "", "Too long a wait.", "", COMMENT[:300], "Fine.", "", "Excellent service!"],
        }
    )


def metadata() -> korvel.SpssMetadata:
    yes_no = {0: "No", 1: "Yes"}
    return korvel.SpssMetadata(
        file_label="korvel sample survey (invented data)",
        notes=[
            "Sample data set shipped with korvel; every value is invented.",
            "Written by scripts/make_sample.py with korvel's own writer.",
        ],
        variable_labels={
            "id": "Respondent ID",
            "region": "Region of residence",
            "age": "Age in years",
            "income": "Annual income (EUR)",
            "satisfaction": "Overall satisfaction",
            "visit": "Date of last visit",
            "interviewed": "Start of the interview",
            "duration": "Length of the interview",
            "name": "Respondent name",
            "media_tv": "Follows the news on television",
            "media_radio": "Follows the news on the radio",
            "media_web": "Follows the news on the web",
            "comment": "Any other comment (open answer)",
        },
        variable_value_labels={
            "region": {1: "North", 2: "Central", 3: "South", 4: "Islands"},
            "satisfaction": {1: "Very unhappy", 2: "Unhappy", 3: "Neutral", 4: "Happy", 5: "Very happy", 9: "No answer"},
            "age": {999: "Refused"},
            "media_tv": yes_no,
            "media_radio": yes_no,
            "media_web": yes_no,
        },
        variable_missing_values={
            "satisfaction": {"type": "discrete", "values": [9]},
            "age": {"type": "discrete", "values": [999]},
            "income": {"type": "range", "low": -99, "high": -1},
        },
        variable_formats={
            "id": "F4.0", "region": "F2.0", "age": "F3.0", "income": "F10.2", "satisfaction": "F1.0",
            "visit": "DATE11", "interviewed": "DATETIME20", "duration": "TIME8",
            "name": "A24", "media_tv": "F1.0", "media_radio": "F1.0", "media_web": "F1.0",
            "comment": "A1000",
        },
        variable_measures={
            "id": "nominal", "region": "nominal", "age": "scale", "income": "scale",
            "satisfaction": "ordinal", "media_tv": "nominal", "media_radio": "nominal", "media_web": "nominal",
        },
        mr_sets={
            "media": {
                "label": "News media used",
                "type": "dichotomy",
                "counted_value": 1,
                "variables": ["media_tv", "media_radio", "media_web"],
            }
        },
    )


def main() -> None:
    output = Path(sys.argv[1]) if len(sys.argv) > 1 else OUTPUT
    korvel.write_sav(frame(), output, metadata(), compression="bytecode")
    print(f"wrote {output}")


if __name__ == "__main__":
    main()
