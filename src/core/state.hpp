// Module state of zorvane.core.conversation, shared by its source files.
#pragma once

#include "support/args.hpp"
#include "support/coro.hpp"
#include "support/py.hpp"
#include "core/json_config.hpp"

#include <atomic>
#include <utility>

namespace zv::conversation {

// Attribute, method, key and text names used by the module, interned once.
#define ZV_CONVERSATION_NAMES(X)                                                                     \
    X(_memory) X(_context_window) X(_active_conversation_id) X(_planner) X(_summarizer)              \
    X(_current_summary) X(_summarized_up_to) X(_maybe_summarize) X(_merge_summaries)                 \
    X(create_conversation) X(get_conversation_summary) X(list_conversations) X(delete_conversation) \
    X(add_message) X(get_messages) X(get_facts) X(save_conversation_summary)                         \
    X(get_active_plan) X(format_plan_for_context) X(summarize_messages)                              \
    X(format_summary_for_context) X(get) X(strip) X(info) X(error) X(dumps) X(uuid4)                 \
    X(json) X(uuid) X(logger) X(SYSTEM_PROMPT) X(exc_info)                                           \
    X(id) X(role) X(content) X(tool_calls) X(tool_call_id) X(name) X(arguments) X(type) X(function)  \
    X(category) X(summary) X(goals) X(key_facts) X(key_decisions) X(progress) X(summarized_up_to)   \
    X(message_count) X(summarized_count) X(user) X(assistant) X(tool) X(system) X(limit)            \
    X(existing_summary)

struct ModuleState {
    SupportState support;  // must stay first
    PyObject* dict = nullptr;  // the module's namespace (borrowed: lives as long as the module)
    PyTypeObject* manager_type = nullptr;
    StandardDumps* standard_dumps = nullptr;  // whether json.dumps is the standard one
    Signature* init_signature = nullptr;  // ConversationManager.__init__

    // Keyword-name tuples for collaborator calls.
    PyObject* kw_content = nullptr;                 // ("content",)
    PyObject* kw_content_tool_calls = nullptr;      // ("content", "tool_calls")
    PyObject* kw_content_tool_call_id = nullptr;    // ("content", "tool_call_id")
    PyObject* kw_limit = nullptr;                   // ("limit",)
    PyObject* kw_existing_summary = nullptr;        // ("existing_summary",)
    PyObject* kw_exc_info = nullptr;                // ("exc_info",)

    // Fixed texts and numbers.
    PyObject* t_no_output = nullptr;     // "(no output)"
    PyObject* t_empty = nullptr;         // ""
    PyObject* n_zero = nullptr;          // 0
    PyObject* n_ten = nullptr;           // 10

    // Owned by the context-building source file (context_exec/context_clear).
    Signature* merge_signature = nullptr;  // _merge_summaries
    PyObject* t_plan_header = nullptr;     // "Current execution plan:\n\n"
    PyObject* t_facts_header = nullptr;    // "Known facts about the user and their environment:\n"
    PyObject* t_newline = nullptr;         // "\n"
    PyObject* f_factor = nullptr;          // 1.5

#define ZV_DECLARE_NAME(n) PyObject* s_##n = nullptr;
    ZV_CONVERSATION_NAMES(ZV_DECLARE_NAME)
#undef ZV_DECLARE_NAME
};

extern PyModuleDef module_def;

// A ConversationManager instance. Its attributes live in the instance
// dictionary; the two counters only tell whether the active conversation
// was switched while an operation was suspended. Operations running in
// several threads at once (free-threaded builds) change them, so they are
// atomic; they order nothing else (relaxed). Zeroed memory is their start.
struct ManagerObject {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
    std::atomic<unsigned long long> switches;  // start/resume/delete of the active conversation so far
    std::atomic<unsigned long long> loading;   // the switch whose summary is still being loaded, or 0
};

inline unsigned long long loading_of(const ManagerObject* m) noexcept {
    return m->loading.load(std::memory_order_relaxed);
}
inline void set_loading(ManagerObject* m, unsigned long long switch_no) noexcept {
    if (m) m->loading.store(switch_no, std::memory_order_relaxed);
}

// The manager behind `self`, or null when the operation was called on
// another object (operations only rely on its attributes).
inline ManagerObject* manager_of(ModuleState& st, PyObject* self) {
    return PyObject_TypeCheck(self, st.manager_type) ? reinterpret_cast<ManagerObject*>(self) : nullptr;
}

// `self._memory.<name>(args...)`: a collaborator call (support/coro.hpp).
template <class... A>
Ref store_call(ModuleState& st, PyObject* self, PyObject* name, A&&... args) {
    return collaborator_call(self, st.s__memory, name, std::forward<A>(args)...);
}

template <class... A>
Ref store_call_kw(ModuleState& st, PyObject* self, PyObject* name, PyObject* kwnames, A&&... args) {
    return collaborator_call_kw(self, st.s__memory, name, kwnames, std::forward<A>(args)...);
}

inline ModuleState& state_of(OpObject* op) { return *static_cast<ModuleState*>(PyModule_GetState(op->module)); }

// Operations defined in the context-building source file.
extern const OpDef build_messages_def;
extern const OpDef maybe_summarize_def;
extern PyMethodDef merge_summaries_def;  // merge.cpp
Signature* new_merge_signature();        // merge.cpp
// Creates and releases what those operations keep in the module state.
void context_exec(ModuleState& st);
void context_clear(ModuleState& st);

}  // namespace zv::conversation
