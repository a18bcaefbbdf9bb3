// Module state of zorvane.core.conversation, shared by its source files.
#pragma once

#include "support/args.hpp"
#include "support/attr.hpp"
#include "support/coro.hpp"
#include "support/module.hpp"
#include "support/py.hpp"
#include "core/json_config.hpp"

#include <atomic>
#include <utility>

namespace zv::conversation {

// The module's names and constants (support/module.hpp): the attribute,
// method, key and text names it uses, the keyword-name tuples of its
// collaborator calls, fixed texts and numbers.
#define ZV_CONVERSATION_CONSTANTS(NAME, CONSTANT)                                                           \
    NAME(_memory) NAME(_context_window) NAME(_active_conversation_id) NAME(_planner) NAME(_summarizer)      \
    NAME(_current_summary) NAME(_summarized_up_to) NAME(_maybe_summarize) NAME(_merge_summaries)            \
    NAME(create_conversation) NAME(get_conversation_summary) NAME(list_conversations)                     \
    NAME(delete_conversation) NAME(add_message) NAME(get_messages) NAME(get_facts)                         \
    NAME(save_conversation_summary) NAME(get_active_plan) NAME(format_plan_for_context)                    \
    NAME(summarize_messages) NAME(format_summary_for_context) NAME(get) NAME(strip) NAME(info) NAME(error) \
    NAME(dumps) NAME(uuid4) NAME(json) NAME(uuid) NAME(logger) NAME(SYSTEM_PROMPT) NAME(exc_info) NAME(id)  \
    NAME(role) NAME(content) NAME(tool_calls) NAME(tool_call_id) NAME(name) NAME(arguments) NAME(type)     \
    NAME(function) NAME(category) NAME(summary) NAME(goals) NAME(key_facts) NAME(key_decisions)           \
    NAME(progress) NAME(summarized_up_to) NAME(message_count) NAME(summarized_count) NAME(user)            \
    NAME(assistant) NAME(tool) NAME(system) NAME(limit) NAME(existing_summary)                             \
    CONSTANT(kw_content, keywords, "content")                                                              \
    CONSTANT(kw_content_tool_calls, keywords, "content tool_calls")                                        \
    CONSTANT(kw_content_tool_call_id, keywords, "content tool_call_id")                                    \
    CONSTANT(kw_limit, keywords, "limit")                                                                  \
    CONSTANT(kw_existing_summary, keywords, "existing_summary")                                            \
    CONSTANT(kw_exc_info, keywords, "exc_info")                                                            \
    CONSTANT(t_no_output, interned, "(no output)")                                                         \
    CONSTANT(t_empty, interned, "")                                                                        \
    CONSTANT(t_plan_header, interned, "Current execution plan:\n\n")                                       \
    CONSTANT(t_facts_header, interned, "Known facts about the user and their environment:\n")              \
    CONSTANT(t_newline, interned, "\n")                                                                    \
    CONSTANT(n_zero, integer, 0)                                                                           \
    CONSTANT(n_ten, integer, 10)                                                                           \
    CONSTANT(f_factor, real, 1.5)

struct ModuleState {
    SupportState support;      // must stay first
    PyObject* dict = nullptr;  // the module's namespace (borrowed: lives as long as the module)
    PyTypeObject* manager_type = nullptr;
    InstanceAttrs manager_attrs;  // the attributes __init__ sets, read through manager_attr
    StandardDumps* standard_dumps = nullptr;  // whether json.dumps is the standard one
    Signature* init_signature = nullptr;      // ConversationManager.__init__
    Signature* merge_signature = nullptr;     // _merge_summaries
    ZV_MODULE_CONSTANTS(ZV_CONVERSATION_CONSTANTS)

    // What the module adds to its exec, traverse and clear (conversation.cpp).
    void exec(PyObject* module);
    int traverse(visitproc visit, void* arg);
    void clear() noexcept;
};

extern PyModuleDef module_def;

// The module state, reached from the module or from a class it defined (or
// a subclass of one); make_coroutine reaches it from the operation's module.
inline ModuleState& state_from_module(PyObject* module) noexcept { return module_state<ModuleState>(module); }
inline ModuleState& state_from_type(PyTypeObject* type) { return module_state<ModuleState>(type, &module_def); }

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

// `self.<name>` for one of the attributes __init__ sets (support/attr.hpp).
inline Ref manager_attr(ModuleState& st, PyObject* self, PyObject* name) {
    return instance_attr(st.manager_attrs, self, name);
}

// `self._memory.<name>(args...)`: a collaborator call (support/coro.hpp).
template <class... A>
Ref store_call(ModuleState& st, PyObject* self, PyObject* name, A&&... args) {
    Ref memory = manager_attr(st, self, st.s__memory);
    return call_method(memory.get(), name, std::forward<A>(args)...);
}

template <class... A>
Ref store_call_kw(ModuleState& st, PyObject* self, PyObject* name, PyObject* kwnames, A&&... args) {
    Ref memory = manager_attr(st, self, st.s__memory);
    return call_method_kw(memory.get(), name, kwnames, std::forward<A>(args)...);
}

// Operations defined in the context-building source file.
extern const OpDef build_messages_def;
extern const OpDef maybe_summarize_def;
extern PyMethodDef merge_summaries_def;  // merge.cpp
Signature* new_merge_signature();        // merge.cpp

}  // namespace zv::conversation
