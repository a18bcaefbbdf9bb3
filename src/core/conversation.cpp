// zorvane.core.conversation: the conversation manager, starting, resuming and
// deleting conversations, and message recording. The message array and history summarisation live in
// context.cpp.
#include "support/instance.hpp"
#include "core/state.hpp"
#include "core/texts.hpp"

#include <cstddef>
#include <tuple>
#include <utility>

namespace zv::conversation {

namespace {

// ---------------------------------------------------------------------------
// Helpers

// Recording needs an active conversation; the check holds also when the
// interpreter runs with assertions disabled.
Ref require_active(ModuleState& st, PyObject* self) {
    Ref active = manager_attr(st, self, st.s__active_conversation_id);
    if (!truthy(active.get())) {
        PyErr_SetNone(PyExc_AssertionError);
        throw_error();
    }
    return active;
}

void reset_summary_state(ModuleState& st, PyObject* self) {
    setattr(self, st.s__current_summary, Py_None);
    setattr(self, st.s__summarized_up_to, st.n_zero);
}

// Records a switch of the active conversation; returns its number.
unsigned long long note_switch(ModuleState& st, PyObject* self) {
    ManagerObject* m = manager_of(st, self);
    if (!m) return 0;
    set_loading(m, 0);
    return m->switches.fetch_add(1, std::memory_order_relaxed) + 1;
}

// `str(uuid.uuid4())`, with `uuid` looked up in the module's namespace.
Ref new_conversation_id(ModuleState& st) {
    Ref uuid = module_global(st.dict, st.s_uuid);
    Ref fresh = call_method(uuid.get(), st.s_uuid4);
    return str_of(fresh.get());
}

// ---------------------------------------------------------------------------
// Conversations. Each body has its kept struct (support/coro.hpp): the
// arguments and what is still needed after a suspension.

struct StartConversation {
    Ref self, title;  // the arguments
    Ref conv_id{};    // the new conversation's id
    auto refs() { return std::tie(self, title, conv_id); }
};

constexpr SourceLine start_conversation_at = next_line();
Coro start_conversation(ModuleState& st, StartConversation f) {
    f.conv_id = new_conversation_id(st);
    co_await store_call(st, f.self.get(), st.s_create_conversation, f.conv_id, f.title);
    note_switch(st, f.self.get());
    setattr(f.self.get(), st.s__active_conversation_id, f.conv_id.get());
    reset_summary_state(st, f.self.get());
    co_return f.conv_id;
}

struct ResumeConversation {
    Ref self, conv_id;  // the arguments
    auto refs() { return std::tie(self, conv_id); }
};

constexpr SourceLine resume_conversation_at = next_line();
Coro resume_conversation(ModuleState& st, ResumeConversation f) {
    unsigned long long switch_no = note_switch(st, f.self.get());
    ManagerObject* m = manager_of(st, f.self.get());
    set_loading(m, switch_no);
    setattr(f.self.get(), st.s__active_conversation_id, f.conv_id.get());
    // When another switch happened while the summary was being fetched,
    // that switch owns the summary state: this resume must not overwrite it
    // with the summary of a conversation that is no longer active.
    auto still_ours = [&] { return !m || m->switches.load(std::memory_order_relaxed) == switch_no; };
    Ref summary;
    try {
        summary = co_await store_call(st, f.self.get(), st.s_get_conversation_summary, f.conv_id);
    } catch (PyError& e) {
        // The active id stays switched; the summary state must not keep
        // describing the conversation left behind.
        if (still_ours()) {
            set_loading(m, 0);
            Handling handling(e.exception().get());
            reset_summary_state(st, f.self.get());
        }
        throw;
    }
    if (!still_ours()) co_return none();
    set_loading(m, 0);
    setattr(f.self.get(), st.s__current_summary, summary.get());
    Ref up_to = truthy(summary.get()) ? call_method(summary.get(), st.s_get, st.s_summarized_up_to, st.n_zero)
                                      : Ref::borrow(st.n_zero);
    setattr(f.self.get(), st.s__summarized_up_to, up_to.get());
    co_return none();
}

struct GetSummary {
    Ref self;      // the argument
    Ref active{};  // the active conversation's id
    auto refs() { return std::tie(self, active); }
};

constexpr SourceLine get_summary_at = next_line();
Coro get_summary(ModuleState& st, GetSummary f) {
    if (Ref cached = manager_attr(st, f.self.get(), st.s__current_summary); truthy(cached.get()))
        co_return result_exact_or_none(cached, &PyDict_Type);
    f.active = manager_attr(st, f.self.get(), st.s__active_conversation_id);
    if (!truthy(f.active.get())) co_return none();
    Ref fetched = co_await store_call(st, f.self.get(), st.s_get_conversation_summary, f.active);
    co_return result_exact_or_none(fetched, &PyDict_Type);
}

struct ListConversations {
    Ref self, limit;  // the arguments
    auto refs() { return std::tie(self, limit); }
};

constexpr SourceLine list_conversations_at = next_line();
Coro list_conversations(ModuleState& st, ListConversations f) {
    Ref listed = co_await store_call(st, f.self.get(), st.s_list_conversations, f.limit);
    co_return result_exact_or_none(listed, &PyList_Type);
}

struct DeleteConversation {
    Ref self, conv_id;  // the arguments
    auto refs() { return std::tie(self, conv_id); }
};

constexpr SourceLine delete_conversation_at = next_line();
Coro delete_conversation(ModuleState& st, DeleteConversation f) {
    co_await store_call(st, f.self.get(), st.s_delete_conversation, f.conv_id);
    Ref active = manager_attr(st, f.self.get(), st.s__active_conversation_id);
    Ref same = own(PyObject_RichCompare(active.get(), f.conv_id.get(), Py_EQ));
    if (truthy(same.get())) {
        note_switch(st, f.self.get());
        setattr(f.self.get(), st.s__active_conversation_id, Py_None);
        reset_summary_state(st, f.self.get());
    }
    co_return none();
}

// ---------------------------------------------------------------------------
// Recording

struct AddUserMessage {
    Ref self, content;  // the arguments
    Ref active{};       // the conversation recorded into
    auto refs() { return std::tie(self, content, active); }
};

constexpr SourceLine add_user_message_at = next_line();
Coro add_user_message(ModuleState& st, AddUserMessage f) {
    f.active = require_active(st, f.self.get());
    Ref id = co_await store_call_kw(st, f.self.get(), st.s_add_message, st.kw_content, f.active, st.s_user,
                                    f.content);
    co_return result_int(std::move(id));
}

struct AddAssistantMessage {
    Ref self, content, tool_calls;  // the arguments
    Ref active{};                   // the conversation recorded into
    auto refs() { return std::tie(self, content, tool_calls, active); }
};

constexpr SourceLine add_assistant_message_at = next_line();
Coro add_assistant_message(ModuleState& st, AddAssistantMessage f) {
    f.active = require_active(st, f.self.get());
    Ref id = co_await store_call_kw(st, f.self.get(), st.s_add_message, st.kw_content_tool_calls, f.active,
                                    st.s_assistant, f.content, f.tool_calls);
    co_return result_int(std::move(id));
}

struct AddToolResult {
    Ref self, tool_call_id, content;  // the arguments
    Ref active{};                     // the conversation recorded into
    auto refs() { return std::tie(self, tool_call_id, content, active); }
};

constexpr SourceLine add_tool_result_at = next_line();
Coro add_tool_result(ModuleState& st, AddToolResult f) {
    f.active = require_active(st, f.self.get());
    if (blank(f.content.get())) f.content = Ref::borrow(st.t_no_output);
    Ref id = co_await store_call_kw(st, f.self.get(), st.s_add_message, st.kw_content_tool_call_id, f.active,
                                    st.s_tool, f.content, f.tool_call_id);
    co_return result_int(std::move(id));
}

// ---------------------------------------------------------------------------
// Operation table: argument handling happens here, before a coroutine exists.

PyObject* impl_start_conversation(OpObject* op, PyObject** a) {
    arg_str_or_none(a[1], "title");
    return make_coroutine<start_conversation>(op, StartConversation{b(a[0]), b(a[1])});
}
PyObject* impl_resume_conversation(OpObject* op, PyObject** a) {
    arg_str(a[1], "conv_id");
    return make_coroutine<resume_conversation>(op, ResumeConversation{b(a[0]), b(a[1])});
}
PyObject* impl_get_summary(OpObject* op, PyObject** a) {
    return make_coroutine<get_summary>(op, GetSummary{b(a[0])});
}
PyObject* impl_list_conversations(OpObject* op, PyObject** a) {
    Ref limit = arg_int(a[1], "limit");
    return make_coroutine<list_conversations>(op, ListConversations{b(a[0]), std::move(limit)});
}
PyObject* impl_delete_conversation(OpObject* op, PyObject** a) {
    arg_str(a[1], "conv_id");
    return make_coroutine<delete_conversation>(op, DeleteConversation{b(a[0]), b(a[1])});
}
PyObject* impl_add_user_message(OpObject* op, PyObject** a) {
    arg_str(a[1], "content");
    return make_coroutine<add_user_message>(op, AddUserMessage{b(a[0]), b(a[1])});
}
PyObject* impl_add_assistant_message(OpObject* op, PyObject** a) {
    arg_str_or_none(a[1], "content");
    arg_list_or_none(a[2], "tool_calls");
    return make_coroutine<add_assistant_message>(op, AddAssistantMessage{b(a[0]), b(a[1]), b(a[2])});
}
PyObject* impl_add_tool_result(OpObject* op, PyObject** a) {
    arg_str(a[1], "tool_call_id");
    arg_str(a[2], "content");
    return make_coroutine<add_tool_result>(op, AddToolResult{b(a[0]), b(a[1]), b(a[2])});
}

constexpr ParamDef p_self[] = {{"self", required()}};
constexpr ParamDef p_title[] = {{"self", required()}, {"title", default_none()}};
constexpr ParamDef p_conv_id[] = {{"self", required()}, {"conv_id", required()}};
constexpr ParamDef p_limit[] = {{"self", required()}, {"limit", default_int(20)}};
constexpr ParamDef p_content[] = {{"self", required()}, {"content", required()}};
constexpr ParamDef p_assistant[] = {{"self", required()}, {"content", default_none()}, {"tool_calls", default_none()}};
constexpr ParamDef p_tool_result[] = {{"self", required()}, {"tool_call_id", required()}, {"content", required()}};

const OpDef op_defs[] = {
    {"start_conversation", nullptr, p_title, count(p_title), impl_start_conversation, start_conversation_at},
    {"resume_conversation", nullptr, p_conv_id, count(p_conv_id), impl_resume_conversation, resume_conversation_at},
    {"get_summary", "Get the current conversation summary (for UI display).", p_self, count(p_self),
     impl_get_summary, get_summary_at},
    {"list_conversations", nullptr, p_limit, count(p_limit), impl_list_conversations, list_conversations_at},
    {"delete_conversation", nullptr, p_conv_id, count(p_conv_id), impl_delete_conversation, delete_conversation_at},
    {"add_user_message", nullptr, p_content, count(p_content), impl_add_user_message, add_user_message_at},
    {"add_assistant_message", nullptr, p_assistant, count(p_assistant), impl_add_assistant_message,
     add_assistant_message_at},
    {"add_tool_result", nullptr, p_tool_result, count(p_tool_result), impl_add_tool_result, add_tool_result_at},
};

// ---------------------------------------------------------------------------
// The ConversationManager type

constexpr ParamDef p_init[] = {{"self", required()},
                               {"memory", required()},
                               {"context_window", default_int(20)},
                               {"planner", default_none()},
                               {"summarizer", default_none()}};

int manager_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return boundary<int>(-1, [&] {
        ModuleState& st = state_from_type(Py_TYPE(self));
        PyObject* a[5];
        st.init_signature->bind_tuple(self, args, kwargs, a);
        Ref context_window = arg_int(a[2], "context_window");
        setattr(self, st.s__memory, a[1]);
        setattr(self, st.s__context_window, context_window.get());
        setattr(self, st.s__active_conversation_id, Py_None);
        setattr(self, st.s__planner, a[3]);
        setattr(self, st.s__summarizer, a[4]);
        setattr(self, st.s__current_summary, Py_None);
        setattr(self, st.s__summarized_up_to, st.n_zero);
        return 0;
    });
}

PyObject* manager_get_conversation_id(PyObject* self, void*) {
    return boundary<PyObject*>(nullptr, [&] {
        ModuleState& st = state_from_type(Py_TYPE(self));
        return result_exact_or_none(manager_attr(st, self, st.s__active_conversation_id), &PyUnicode_Type).release();
    });
}

PyGetSetDef manager_getset[] = {
    {"conversation_id", manager_get_conversation_id, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef manager_members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(ManagerObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(ManagerObject, weakrefs), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

const char manager_doc[] =
    "Manages active conversations and builds message arrays for the LLM.\n\n"
    "    Key innovation: Smart context window management that summarizes old\n"
    "    messages instead of dropping them, ensuring goals are never lost.\n"
    "    ";

PyType_Slot manager_slots[] = {
    {Py_tp_init, reinterpret_cast<void*>(manager_init)},
    {Py_tp_traverse, reinterpret_cast<void*>(instance_traverse<ManagerObject>)},
    {Py_tp_clear, reinterpret_cast<void*>(instance_clear<ManagerObject>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<ManagerObject>)},
    {Py_tp_getset, manager_getset},
    {Py_tp_members, manager_members},
    {0, nullptr},
};

PyType_Spec manager_spec = {
    "zorvane.core.conversation.ConversationManager",
    int(sizeof(ManagerObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    manager_slots,
};

// ---------------------------------------------------------------------------
// The module

const char module_doc[] =
    "Conversation context management: keeps the agent's goals in view however long a task runs.\n\n"
    "Four layers serve this: the goals (carried in the summary of earlier history) and the active\n"
    "plan follow the system prompt at the top of every message array; older messages are not\n"
    "dropped but compressed into structured summaries; the most recent messages go into the\n"
    "array verbatim; persistent facts about the user and the environment are always included.\n"
    "When a conversation outgrows the context window, the messages beyond the window are\n"
    "summarised, the summary is stored, and it is then injected as a system message ahead of\n"
    "the recent history.";

}  // namespace

void ModuleState::exec(PyObject* module) {
    dict = PyModule_GetDict(module);
    init_signature = new Signature("ConversationManager.__init__", p_init, count(p_init));
    merge_signature = new_merge_signature();
    standard_dumps = new StandardDumps();

    // The imports a Python rendition of this module makes, in order.
    Ref json = own(PyImport_ImportModule("json"));
    bind_global(module, "json", json);
    Ref logging = own(PyImport_ImportModule("logging"));
    bind_global(module, "logging", logging);
    bind_global(module, "uuid", own(PyImport_ImportModule("uuid")));
    bind_global(module, "Any", import_from("typing", "Any"));
    bind_global(module, "MemoryStore", import_from("zorvane.core.memory", "MemoryStore"));
    Ref logger_name = text("zorvane.conversation");
    bind_global(module, "logger", call_method(logging.get(), interned("getLogger").get(), logger_name));
    bind_global(module, "SYSTEM_PROMPT", text(system_prompt));

    Ref type = new_class(module, manager_spec, *init_signature, manager_doc);
    manager_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type.get()));
    manager_attrs.init(manager_type, {s__memory, s__context_window, s__active_conversation_id, s__planner,
                                      s__summarizer, s__current_summary, s__summarized_up_to});
    for (const OpDef& def : op_defs) check(add_operation(module, manager_type, &def));
    check(add_operation(module, manager_type, &build_messages_def));
    check(add_operation(module, manager_type, &maybe_summarize_def));
    bind_global(module, "ConversationManager", type);
    Ref merge = own(PyCFunction_NewEx(&merge_summaries_def, module, support.module_name));
    bind_global(module, "_merge_summaries", merge);
}

int ModuleState::traverse(visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<PyObject*>(manager_type));
    if (standard_dumps)
        if (int r = standard_dumps->traverse(visit, arg)) return r;
    if (init_signature)
        if (int r = init_signature->traverse(visit, arg)) return r;
    if (merge_signature) return merge_signature->traverse(visit, arg);
    return 0;
}

void ModuleState::clear() noexcept {
    Py_CLEAR(manager_type);
    delete standard_dumps;
    standard_dumps = nullptr;
    delete init_signature;
    init_signature = nullptr;
    delete merge_signature;
    merge_signature = nullptr;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "zorvane.core.conversation",
    module_doc,
    sizeof(ModuleState),
    nullptr,
    module_slots<ModuleState>,
    module_traverse<ModuleState>,
    module_clear<ModuleState>,
    module_free<ModuleState>,
};

}  // namespace zv::conversation

PyMODINIT_FUNC PyInit_conversation(void) { return PyModuleDef_Init(&zv::conversation::module_def); }
