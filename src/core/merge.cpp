// _merge_summaries: merges an old summary with a new one.
#include "core/exact_reads.hpp"
#include "core/state.hpp"

namespace zv::conversation {

namespace {

// A new list of the distinct items of the lists under `key` in `old` and
// then `new`, each once, in first-seen order.
Ref distinct_union(PyObject* old, PyObject* fresh, PyObject* key) {
    Ref out = new_list();
    Ref seen = own(PySet_New(nullptr));
    auto keep_first = [&](PyObject* v) {
        Py_ssize_t before = PySet_GET_SIZE(seen.get());
        check(PySet_Add(seen.get(), v));
        if (PySet_GET_SIZE(seen.get()) != before) list_append(out.get(), v);
    };
    for (PyObject* d : {old, fresh})
        if (Ref items = dict_get(d, key)) for_each(items.get(), keep_first);
    return out;
}

Ref merge(ModuleState& st, PyObject* old, PyObject* fresh) {
    Ref merged = own(PyDict_Copy(fresh));
    dict_set(merged.get(), st.s_goals, distinct_union(old, fresh, st.s_goals).get());
    dict_set(merged.get(), st.s_key_facts, distinct_union(old, fresh, st.s_key_facts).get());
    dict_set(merged.get(), st.s_key_decisions, distinct_union(old, fresh, st.s_key_decisions).get());

    // Progress keeps its chronology: what `old` has and `new` lacks first,
    // in its order (duplicates kept), then `new`'s progress.
    Ref new_progress = dict_get(fresh, st.s_progress);
    Ref seen = own(PySet_New(new_progress ? new_progress.get() : nullptr));
    Ref progress = new_list();
    Ref old_progress = dict_get(old, st.s_progress);
    if (old_progress)
        for_each(old_progress.get(), [&](PyObject* p) {
            int in = PySet_Contains(seen.get(), p);
            check(in);
            if (!in) list_append(progress.get(), p);
        });
    if (new_progress) for_each(new_progress.get(), [&](PyObject* p) { list_append(progress.get(), p); });
    dict_set(merged.get(), st.s_progress, progress.get());
    return merged;
}

PyObject* merge_summaries(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return boundary<PyObject*>(nullptr, [&] {
        ModuleState& st = state_from_module(module);
        PyObject* a[2];
        st.merge_signature->bind(args, size_t(nargsf), kwnames, a);
        arg_dict(a[0], "old");
        arg_dict(a[1], "new");
        return merge(st, a[0], a[1]).release();
    });
}

constexpr ParamDef p_merge[] = {{"old", required()}, {"new", required()}};

}  // namespace

PyMethodDef merge_summaries_def = {
    "_merge_summaries", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(merge_summaries)),
    METH_FASTCALL | METH_KEYWORDS,
    "_merge_summaries($module, /, old, new)\n--\n\nMerge an old summary with a new one, keeping the most complete "
    "picture."};

Signature* new_merge_signature() { return new Signature("_merge_summaries", p_merge, count(p_merge)); }

}  // namespace zv::conversation
