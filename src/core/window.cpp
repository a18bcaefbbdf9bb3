// The conversion of the window's stored messages into the entries of the
// message array, and the pairing of tool calls with their results.
//
// A message's fields are read in one pass when it is an exact dict (`scan`,
// core/exact_reads.hpp), and the json.dumps its tool calls reach is looked up
// once for many calls. Both stay valid only while no Python code has run
// since: every call into Python code goes through the conversion's `Calls`,
// which spends the `Quiet` tokens those reads hold.
#include "core/window.hpp"

#include "core/exact_reads.hpp"
#include "core/json_text.hpp"

#include <vector>

namespace zv::conversation {

namespace {

// One converted entry of the window, with what pairing needs to know.
struct Converted {
    Ref entry;
    Ref calls;                  // its outgoing tool-call list, when it has one
    std::vector<Ref> call_ids;  // their ids, in order
    Ref tool_call_id;           // its tool call id, when it has one
    Ref role;
    int is_tool = -1;           // cached for exact string roles
};

bool is_tool(ModuleState& st, Converted& c) {
    if (c.is_tool >= 0) return c.is_tool != 0;
    bool r = equals_text(c.role.get(), st.s_tool);
    if (PyUnicode_CheckExact(c.role.get())) c.is_tool = r ? 1 : 0;
    return r;
}

// The same during the conversion, which calls __eq__ through `calls`.
bool is_tool(ModuleState& st, Converted& c, Calls& calls) {
    if (c.is_tool < 0 && c.role.get() != st.s_tool && !PyUnicode_CheckExact(c.role.get())) calls.python();
    return is_tool(st, c);
}

// `json.dumps` as a tool call reaches it: `json` in the module's namespace,
// then its `dumps`. Looked up again for a tool call unless no Python code
// has run since the last lookup (`quiet` holds), which would find the same
// objects.
struct Dumps {
    Ref fn;
    bool native = false;  // fn is the standard one: the native encoder's text is its text
    Calls::Quiet quiet;
};

Ref arguments_text(ModuleState& st, Dumps& dumps, PyObject* args, Calls& calls) {
    if (!PyDict_Check(args)) return Ref::borrow(args);
    if (!dumps.fn || !calls.holds(dumps.quiet)) {
        Ref json = module_global(st.dict, st.s_json);
        dumps.fn = getattr(json.get(), st.s_dumps);
        dumps.native = st.standard_dumps->standard(json.get(), dumps.fn.get());
        // Looking up an attribute of anything but the standard module may
        // have run Python code.
        if (!dumps.native) calls.python();
        dumps.quiet = calls.quiet();
    }
    if (dumps.native) {
        Ref fast = dumps_exact(args);
        if (fast) return fast;
    }
    calls.python();
    return call(dumps.fn.get(), args);
}

Ref convert_call(ModuleState& st, Dumps& dumps, PyObject* tc, Ref& id, Calls& calls) {
    PyObject* const names[] = {st.s_arguments, st.s_id, st.s_name};
    Fields<3> f(tc, names, calls);
    Ref args = f.get(0, calls);
    id = f.get(1, calls);
    Ref name = f.get(2, calls);
    Ref text_value = arguments_text(st, dumps, args.get(), calls);
    Ref function = dict_of(st.s_name, name, st.s_arguments, text_value);
    return dict_of(st.s_id, id, st.s_type, st.s_function, st.s_function, function);
}

// The message's tool calls, converted into c.calls, their ids into c.call_ids.
void convert_calls(ModuleState& st, Dumps& dumps, PyObject* stored_calls, Converted& c, Calls& calls) {
    c.calls = new_list();
    if (PyList_CheckExact(stored_calls)) c.call_ids.reserve(size_t(PyList_GET_SIZE(stored_calls)));
    for_each(
        stored_calls,
        [&](PyObject* tc) {
            Ref id;
            Ref out = convert_call(st, dumps, tc, id, calls);
            list_append(c.calls.get(), out.get());
            c.call_ids.push_back(std::move(id));
        },
        &calls);
}

// The entry of one stored message. Its fields are read in the order the
// conversion uses them; the entry itself is assembled at the end (nothing
// can observe it before), in the key order role, content, tool_calls,
// tool_call_id.
Converted convert(ModuleState& st, Dumps& dumps, PyObject* msg, Calls& calls) {
    PyObject* const names[] = {st.s_role, st.s_content, st.s_tool_calls, st.s_tool_call_id};
    Fields<4> f(msg, names, calls);
    Converted c;
    c.role = f.get(0, calls);
    Ref content = f.get(1, calls);
    if (!truth(content.get(), calls)) {
        if (is_tool(st, c, calls))
            content = Ref::borrow(st.t_no_output);
        else
            content = equals_text(c.role.get(), st.s_assistant, calls) ? Ref::borrow(st.t_empty) : Ref();
    }

    Ref stored_calls = f.get(2, calls);
    if (truth(stored_calls.get(), calls)) convert_calls(st, dumps, stored_calls.get(), c, calls);
    stored_calls.reset();
    Ref tool_call_id = f.get(3, calls);
    if (truth(tool_call_id.get(), calls)) c.tool_call_id = std::move(tool_call_id);

    c.entry = new_dict();
    PyObject* entry = c.entry.get();
    dict_set(entry, st.s_role, c.role.get());
    if (content) dict_set(entry, st.s_content, content.get());
    if (c.calls) dict_set(entry, st.s_tool_calls, c.calls.get());
    if (c.tool_call_id) dict_set(entry, st.s_tool_call_id, c.tool_call_id.get());
    return c;
}

}  // namespace

void append_recent(ModuleState& st, PyObject* messages, PyObject* history) {
    std::vector<Converted> raw;
    if (PyList_CheckExact(history)) raw.reserve(size_t(PyList_GET_SIZE(history)));
    Calls calls;
    Dumps dumps;
    for_each(history, [&](PyObject* msg) { raw.push_back(convert(st, dumps, msg, calls)); }, &calls);

    Ref use_ids = own(PySet_New(nullptr));
    Ref result_ids = own(PySet_New(nullptr));
    for (Converted& c : raw) {
        if (c.calls && PyList_GET_SIZE(c.calls.get()) != 0)
            for (const Ref& id : c.call_ids) check(PySet_Add(use_ids.get(), id.get()));
        if (is_tool(st, c) && c.tool_call_id && truth(c.tool_call_id.get()))
            check(PySet_Add(result_ids.get(), c.tool_call_id.get()));
    }

    std::vector<char> answered;
    for (Converted& c : raw) {
        if (is_tool(st, c) && c.tool_call_id && truth(c.tool_call_id.get())) {
            int known = PySet_Contains(use_ids.get(), c.tool_call_id.get());
            check(known);
            if (!known) continue;  // its call lies outside the window
        }
        if (c.calls && !c.call_ids.empty()) {
            size_t n = c.call_ids.size(), kept = 0;
            answered.assign(n, 0);
            for (size_t i = 0; i < n; ++i) {
                int in = PySet_Contains(result_ids.get(), c.call_ids[i].get());
                check(in);
                answered[i] = char(in);
                kept += size_t(in);
            }
            if (kept == 0) {
                check(PyDict_DelItem(c.entry.get(), st.s_tool_calls));
            } else if (kept < n) {
                Ref paired = own(PyList_New(Py_ssize_t(kept)));
                Py_ssize_t j = 0;
                for (size_t i = 0; i < n; ++i)
                    if (answered[i])
                        PyList_SET_ITEM(paired.get(), j++, Py_NewRef(PyList_GET_ITEM(c.calls.get(), Py_ssize_t(i))));
                dict_set(c.entry.get(), st.s_tool_calls, paired.get());
            }
        }
        list_append(messages, c.entry.get());
    }
}

}  // namespace zv::conversation
