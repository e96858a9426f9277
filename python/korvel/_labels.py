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


class _Columns:
    """The column operations the conveniences need, for one frame library."""

    def names(self, frame: Any) -> list[str]:
        raise NotImplementedError

    def usable(self, frame: Any, name: str) -> bool:
        """Only numeric (float) and text columns carry codes; dates and times are left alone."""
        raise NotImplementedError

    def present(self, frame: Any, name: str) -> list[Any]:
        """The distinct non-null values of a column."""
        raise NotImplementedError

    def null_where(self, frame: Any, name: str, values: list[Any], span: tuple[float, float] | None) -> Any:
        raise NotImplementedError

    def encode(self, frame: Any, name: str, mapping: dict[Any, str], categories: list[str]) -> Any:
        raise NotImplementedError


class _Polars(_Columns):
    def __init__(self) -> None:
        self.pl = require("polars", "value labels and user-missing nulls")

    def names(self, frame: Any) -> list[str]:
        return list(frame.columns)

    def usable(self, frame: Any, name: str) -> bool:
        return frame.schema[name] in (self.pl.Float64, self.pl.String)

    def present(self, frame: Any, name: str) -> list[Any]:
        return list(frame[name].drop_nulls().unique().to_list())

    def null_where(self, frame: Any, name: str, values: list[Any], span: tuple[float, float] | None) -> Any:
        pl = self.pl
        hit = pl.col(name).is_in(values) if values else pl.lit(False)
        if span is not None:
            hit = hit | pl.col(name).is_between(*span)
        return frame.with_columns(pl.when(hit).then(None).otherwise(pl.col(name)).alias(name))

    def encode(self, frame: Any, name: str, mapping: dict[Any, str], categories: list[str]) -> Any:
        enum = self.pl.Enum(categories)
        column = self.pl.col(name)
        return frame.with_columns(column.replace_strict(list(mapping), list(mapping.values()), default=None, return_dtype=enum))


class _Pandas(_Columns):
    def __init__(self) -> None:
        self.pd = require("pandas", "value labels and user-missing nulls")

    def names(self, frame: Any) -> list[str]:
        return [str(name) for name in frame.columns]

    def usable(self, frame: Any, name: str) -> bool:
        api = self.pd.api.types
        column = frame[name]
        return bool(api.is_float_dtype(column) or api.is_string_dtype(column) or api.is_object_dtype(column))

    def present(self, frame: Any, name: str) -> list[Any]:
        return list(frame[name].dropna().unique().tolist())

    def null_where(self, frame: Any, name: str, values: list[Any], span: tuple[float, float] | None) -> Any:
        hit = frame[name].isin(values)
        if span is not None:
            hit = hit | frame[name].between(*span)
        frame[name] = frame[name].mask(hit)
        return frame

    def encode(self, frame: Any, name: str, mapping: dict[Any, str], categories: list[str]) -> Any:
        frame[name] = self.pd.Categorical(frame[name].map(mapping), categories=categories)
        return frame


class _Arrow(_Columns):
    def __init__(self) -> None:
        self.pa = require("pyarrow", "value labels and user-missing nulls")
        self.pc = require("pyarrow.compute", "value labels and user-missing nulls")

    def names(self, frame: Any) -> list[str]:
        return list(frame.column_names)

    def usable(self, frame: Any, name: str) -> bool:
        kind, types = frame.schema.field(name).type, self.pa.types
        return bool(types.is_float64(kind) or types.is_string(kind) or types.is_large_string(kind) or types.is_string_view(kind))

    def _column(self, frame: Any, name: str) -> Any:
        # Compute kernels do not all take string views; plain strings hold the same text.
        column = frame[name]
        return column.cast(self.pa.string()) if self.pa.types.is_string_view(column.type) else column

    def _replace(self, frame: Any, name: str, column: Any) -> Any:
        return frame.set_column(frame.column_names.index(name), name, column)

    def present(self, frame: Any, name: str) -> list[Any]:
        return [v for v in self.pc.unique(self._column(frame, name)).to_pylist() if v is not None]

    def null_where(self, frame: Any, name: str, values: list[Any], span: tuple[float, float] | None) -> Any:
        pa, pc = self.pa, self.pc
        column = self._column(frame, name)
        hit = pc.is_in(column, value_set=pa.array(values, column.type))
        if span is not None:
            hit = pc.or_(hit, pc.and_(pc.greater_equal(column, span[0]), pc.less_equal(column, span[1])))
        return self._replace(frame, name, pc.if_else(pc.fill_null(hit, False), pa.scalar(None, column.type), column))

    def encode(self, frame: Any, name: str, mapping: dict[Any, str], categories: list[str]) -> Any:
        pa, pc = self.pa, self.pc
        column = self._column(frame, name).combine_chunks()
        keys = list(mapping)
        key_category = pa.array([categories.index(mapping[k]) for k in keys], pa.int32())
        codes = pc.take(key_category, pc.index_in(column, value_set=pa.array(keys, column.type)))
        return self._replace(frame, name, pa.DictionaryArray.from_arrays(codes, pa.array(categories, pa.string())))


_LIBRARIES = {"polars": _Polars, "pandas": _Pandas, "pyarrow": _Arrow}


def apply_conveniences(frame: Any, meta: Any, to: str, value_labels: bool, user_missing: bool) -> Any:
    """Apply the opt-in conversions to a frame of kind `to` read with metadata `meta`:
    user-missing values first (so that their codes become nulls, not categories), then labels."""
    if not (value_labels or user_missing):
        return frame
    ops = _LIBRARIES[to]()
    if user_missing:
        specs = meta.variable_missing_values
        for name in ops.names(frame):
            if specs.get(name) and ops.usable(frame, name):
                values, span = _missing_rule(specs[name])
                frame = ops.null_where(frame, name, values, span)
    if value_labels:
        labels = meta.variable_value_labels
        for name in ops.names(frame):
            if labels.get(name) and ops.usable(frame, name):
                mapping, categories = _categories(labels[name], ops.present(frame, name))
                frame = ops.encode(frame, name, mapping, categories)
    return frame
