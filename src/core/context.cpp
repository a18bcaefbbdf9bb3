// The LLM message array, history summarisation and summary merging.
#include "core/state.hpp"

namespace zv::conversation {

namespace {

constexpr ParamDef p_self[] = {{"self", required()}};

PyObject* not_yet(OpObject*, PyObject**) {
    raise(PyExc_NotImplementedError, "not implemented yet");
}

PyObject* merge_summaries(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
    PyErr_SetString(PyExc_NotImplementedError, "not implemented yet");
    return nullptr;
}

}  // namespace

const OpDef build_messages_def = {"build_messages", "(self)", nullptr, p_self, 1, not_yet};
const OpDef maybe_summarize_def = {"_maybe_summarize", "(self)", nullptr, p_self, 1, not_yet};
PyMethodDef merge_summaries_def = {
    "_merge_summaries", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(merge_summaries)),
    METH_FASTCALL | METH_KEYWORDS,
    "_merge_summaries($module, /, old, new)\n--\n\nMerge an old summary with a new one, keeping the most complete "
    "picture."};

}  // namespace zv::conversation
