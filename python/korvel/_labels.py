"""Opt-in conveniences on read frames: user-missing values as nulls, value labels applied.

SPSS keeps user-missing values as ordinary values and describes them in the dictionary; the
native reader does the same. Users of pyreadstat and haven often want them as nulls, and
labelled codes as categories: these helpers do it per frame library, from the metadata alone.
"""

from __future__ import annotations

from typing import Any

from ._deps import require


def _missing_rule(spec: dict[str, Any]) -> tuple[list[Any], tuple[float, float] | None]:
    """(discrete values, (low, high) or None) of one missing-value dict of SpssMetadata."""
    if spec.get("type") == "range":
        values = [spec["discrete"]] if "discrete" in spec else []
        return values, (spec["low"], spec["high"])
    return list(spec.get("values", [])), None


def _value_text(value: Any) -> str:
    if isinstance(value, float) and value.is_integer():
        return str(int(value))
    return str(value)


def _categories(labels: dict[Any, str], present: list[Any]) -> tuple[dict[Any, str], list[str]]:
    """Mapping value -> category and the category order: the labels in the order the file
    lists them, then the text of each value present without a label, in sorted order."""
    mapping = {value: labels[value] for value in present if value in labels}
    categories = list(dict.fromkeys(labels.values()))
    for value in sorted(v for v in present if v not in labels):
        mapping[value] = _value_text(value)
        if mapping[value] not in categories:
            categories.append(mapping[value])
    return mapping, categories


def _targets(frame_columns: list[str], per_variable: dict[str, Any]) -> list[str]:
    return [name for name in frame_columns if per_variable.get(name)]


def _polars(frame: Any, meta: Any, value_labels: bool, user_missing: bool) -> Any:
    pl = require("polars", "value labels and user-missing nulls")
    simple = (pl.Float64, pl.String)
    if user_missing:
        specs = meta.variable_missing_values
        for name in _targets(frame.columns, specs):
            if frame.schema[name] not in simple:
                continue
            values, span = _missing_rule(specs[name])
            hit = pl.col(name).is_in(values) if values else pl.lit(False)
            if span is not None:
                hit = hit | pl.col(name).is_between(*span)
            frame = frame.with_columns(pl.when(hit).then(None).otherwise(pl.col(name)).alias(name))
    if value_labels:
        labels = meta.variable_value_labels
        for name in _targets(frame.columns, labels):
            if frame.schema[name] not in simple:
                continue
            present = frame[name].drop_nulls().unique().to_list()
            mapping, categories = _categories(labels[name], present)
            enum = pl.Enum(categories)
            frame = frame.with_columns(
                pl.col(name).replace_strict(
                    list(mapping), list(mapping.values()), default=None, return_dtype=enum
                )
            )
    return frame


def _pandas(frame: Any, meta: Any, value_labels: bool, user_missing: bool) -> Any:
    pd = require("pandas", "value labels and user-missing nulls")
    api = pd.api.types

    def usable(series: Any) -> bool:
        return bool(api.is_float_dtype(series) or api.is_string_dtype(series) or api.is_object_dtype(series))

    if user_missing:
        specs = meta.variable_missing_values
        for name in _targets(list(frame.columns), specs):
            if not usable(frame[name]):
                continue
            values, span = _missing_rule(specs[name])
            hit = frame[name].isin(values)
            if span is not None:
                hit = hit | frame[name].between(*span)
            frame[name] = frame[name].mask(hit)
    if value_labels:
        labels = meta.variable_value_labels
        for name in _targets(list(frame.columns), labels):
            if not usable(frame[name]):
                continue
            present = frame[name].dropna().unique().tolist()
            mapping, categories = _categories(labels[name], present)
            frame[name] = pd.Categorical(frame[name].map(mapping), categories=categories)
    return frame


def _pyarrow(table: Any, meta: Any, value_labels: bool, user_missing: bool) -> Any:
    pa = require("pyarrow", "value labels and user-missing nulls")
    pc = require("pyarrow.compute", "value labels and user-missing nulls")
    types = pa.types

    def usable(kind: Any) -> bool:
        return bool(types.is_float64(kind) or types.is_string(kind) or types.is_large_string(kind) or types.is_string_view(kind))

    if user_missing:
        specs = meta.variable_missing_values
        for name in _targets(table.column_names, specs):
            column = table[name]
            if not usable(column.type):
                continue
            values, span = _missing_rule(specs[name])
            hit = pc.is_in(column, value_set=pa.array(values, column.type))
            if span is not None:
                hit = pc.or_(hit, pc.and_(pc.greater_equal(column, span[0]), pc.less_equal(column, span[1])))
            kept = pc.if_else(pc.fill_null(hit, False), pa.scalar(None, column.type), column)
            table = table.set_column(table.column_names.index(name), name, kept)
    if value_labels:
        labels = meta.variable_value_labels
        for name in _targets(table.column_names, labels):
            column = table[name]
            if not usable(column.type):
                continue
            present = pc.unique(column.drop_null()).to_pylist()
            mapping, categories = _categories(labels[name], present)
            keys = list(mapping)
            key_category = pa.array([categories.index(mapping[k]) for k in keys], pa.int32())
            positions = pc.index_in(column.combine_chunks(), value_set=pa.array(keys, column.type))
            codes = pc.take(key_category, positions)
            encoded = pa.DictionaryArray.from_arrays(codes, pa.array(categories, pa.string()))
            table = table.set_column(table.column_names.index(name), name, encoded)
    return table


def apply_conveniences(frame: Any, meta: Any, to: str, value_labels: bool, user_missing: bool) -> Any:
    """Apply the opt-in conversions to a frame of kind `to` read with metadata `meta`."""
    if not (value_labels or user_missing):
        return frame
    convert = {"polars": _polars, "pandas": _pandas, "pyarrow": _pyarrow}[to]
    return convert(frame, meta, value_labels, user_missing)
