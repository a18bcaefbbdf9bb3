"""_merge_summaries: folding the summary of a pass into the running one."""

import copy
import importlib
import inspect
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zorvane.core import conversation as conv

merge = conv._merge_summaries
LISTS = ("goals", "key_facts", "key_decisions", "progress")


@pytest.mark.parametrize("key,old,new,expected", [
    ("goals", ["g1", "g2"], ["g2", "g3"], ["g1", "g2", "g3"]),
    ("goals", ["g2", "g2"], ["g1", "g2"], ["g2", "g1"]),
    ("key_facts", ["f1", "f2"], ["f3", "f1"], ["f1", "f2", "f3"]),
    ("key_decisions", ["d1", "d2"], ["d2", "d3", "d1"], ["d1", "d2", "d3"]),
    ("key_decisions", ["d1", "d1"], ["d2", "d2"], ["d1", "d2"]),
    ("progress", ["p1", "p2", "p3"], ["q1", "q2"], ["p1", "p2", "p3", "q1", "q2"]),
    ("progress", ["p1", "q1"], ["q1", "q2"], ["p1", "q1", "q2"]),
    ("progress", ["p1", "p1"], [], ["p1", "p1"]),
    ("progress", [], ["q1", "q1"], ["q1", "q1"]),
    ("progress", ["q2", "p1", "q1"], ["q1", "q2"], ["p1", "q1", "q2"]),
])
def test_list_merge(key, old, new, expected):
    old_d, new_d = {key: old}, {key: new}
    before = copy.deepcopy((old_d, new_d))
    merged = merge(old_d, new_d)
    assert merged[key] == expected
    assert (old_d, new_d) == before  # neither argument is changed
    assert merged[key] is not new and merged[key] is not old


def test_items_compare_by_value():
    # 1 and True are equal for a set: the first one seen is kept.
    assert merge({"goals": [1, "a"]}, {"goals": [True, 1.0, "a", "b"]})["goals"] == [1, "a", "b"]


def test_empty_summaries_give_four_empty_lists():
    merged = merge({}, {})
    assert merged == {k: [] for k in LISTS} and list(merged) == list(LISTS)
    assert len({id(merged[k]) for k in LISTS}) == 4


def test_key_placement_and_provenance():
    shared = {"nested": [1]}
    new = {"progress": ["q"], "summary": "new text", "summarized_up_to": 13, "extra": shared, "goals": ["g"]}
    old = {"summary": "old", "summarized_up_to": 4, "message_count": 9, "only_old": 1, "key_facts": ["f"]}
    merged = merge(old, new)
    assert list(merged) == ["progress", "summary", "summarized_up_to", "extra", "goals", "key_facts",
                            "key_decisions"]
    assert merged["summarized_up_to"] == 13 and merged["summary"] == "new text"
    assert merged["extra"] is shared  # shallow copy: values shared with `new`
    assert "only_old" not in merged and "message_count" not in merged
    assert merged is not new and merged is not old


def test_old_holding_only_the_text_keys():
    merged = merge({"summary": "o", "summarized_up_to": 3}, {"goals": []})
    assert "summary" not in merged and "summarized_up_to" not in merged


@pytest.mark.parametrize("old,new", [
    ({"goals": None}, {}),
    ({}, {"key_facts": None}),
    ({"progress": None}, {"progress": ["x"]}),
    ({}, {"progress": None}),
    ({"key_decisions": [["unhashable"]]}, {}),
    ({"progress": [{"a": 1}]}, {"progress": ["x"]}),
    ({}, {"progress": [["x"]]}),
    ({"goals": 5}, {}),
])
def test_unusable_lists_raise_type_error(old, new):
    with pytest.raises(TypeError):
        merge(old, new)


class Sub(dict):
    pass


@pytest.mark.parametrize("old,new,message", [
    (None, {}, "Argument 'old' has incorrect type (expected dict, got NoneType)"),
    ({}, None, "Argument 'new' has incorrect type (expected dict, got NoneType)"),
    (Sub(), {}, "Argument 'old' has incorrect type (expected dict, got Sub)"),
    ({}, [("a", 1)], "Argument 'new' has incorrect type (expected dict, got list)"),
    (None, None, "Argument 'old' "),
])
def test_argument_types(old, new, message):
    with pytest.raises(TypeError) as info:
        merge(old, new)
    assert str(info.value).startswith(message)


@pytest.mark.parametrize("args,kwargs,message", [
    ((), {}, "_merge_summaries() missing 2 required positional arguments: 'old' and 'new'"),
    (({},), {}, "_merge_summaries() missing 1 required positional argument: 'new'"),
    (({}, {}, {}), {}, "_merge_summaries() takes 2 positional arguments but 3 were given"),
    (({},), {"old": {}}, "_merge_summaries() got multiple values for argument 'old'"),
    (({}, {}), {"other": 1}, "_merge_summaries() got an unexpected keyword argument 'other'"),
])
def test_call_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        merge(*args, **kwargs)
    assert str(info.value) == message


def test_keywords_signature_and_doc():
    assert merge(new={"goals": ["b"]}, old={"goals": ["a"]})["goals"] == ["a", "b"]
    assert str(inspect.signature(merge)) == "(old, new)"
    assert merge.__doc__ == "Merge an old summary with a new one, keeping the most complete picture."
    assert merge.__name__ == "_merge_summaries"
    assert not inspect.iscoroutinefunction(merge)


def _pyref():
    bench = str(Path(__file__).resolve().parent.parent / "bench")
    if bench not in sys.path:
        sys.path.insert(0, bench)
    try:
        return importlib.import_module("pyref.conversation")
    except ImportError:
        return None


REF = _pyref()
items = st.lists(st.sampled_from(["a", "b", "c", "d", 1, 2.0, True]), max_size=6)
summaries = st.dictionaries(st.sampled_from(LISTS + ("summary", "summarized_up_to", "x")), items, max_size=6)


@pytest.mark.skipif(REF is None, reason="pure-Python rendition not present")
@settings(max_examples=300, deadline=None)
@given(summaries, summaries)
def test_same_result_as_the_python_rendition(old, new):
    got, want = merge(old, new), REF._merge_summaries(old, new)
    assert list(got.items()) == list(want.items())
    assert [list(map(type, v)) for v in got.values()] == [list(map(type, v)) for v in want.values()]
