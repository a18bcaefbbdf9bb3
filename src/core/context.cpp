// The LLM message array and history summarisation. Summary merging is in
// merge.cpp; the fast readers of exact containers in exact_reads.hpp.
#include "core/exact_reads.hpp"
#include "core/state.hpp"
#include "core/window.hpp"

#include <optional>
#include <tuple>

namespace zv::conversation {

namespace {

// ---------------------------------------------------------------------------
// Small object helpers

void append_system(ModuleState& st, PyObject* messages, PyObject* content) {
    Ref entry = dict_of(st.s_role, st.s_system, st.s_content, content);
    list_append(messages, entry.get());
}

// ---------------------------------------------------------------------------
// History summarisation

// Where all_messages[:-keep_count] ends within all_messages itself, when the
// store handed over an exact list nobody else holds; none when that slice was
// taken and replaced all_messages.
using PrivateStop = std::optional<Py_ssize_t>;

// The messages of `candidates` (its first `stop` items when it has one, else
// all of it) whose "id" is greater than `marker`, compared as `id > marker`
// would.
Ref select_new(ModuleState& st, PyObject* candidates, PrivateStop stop, PyObject* marker) {
    long long marker_value = 0;
    bool marker_small = small_int(marker, marker_value);
    Ref out = new_list();
    auto generic = [&](PyObject* m) {
        Ref id = item(m, st.s_id);
        long long v = 0;
        bool after;
        if (marker_small && small_int(id.get(), v)) {
            after = v > marker_value;
        } else {
            Ref gt = own(PyObject_RichCompare(id.get(), marker, Py_GT));
            after = truthy(gt.get());
        }
        if (after) list_append(out.get(), m);
    };
    if (!stop) {
        for_each(candidates, generic);
        return out;
    }
    // Nobody else holds the list, so it cannot change under the walk; exact
    // dicts with exact int ids are compared without calls into Python code.
    Py_ssize_t hint = 0;
    for (Py_ssize_t i = 0; i < *stop; ++i) {
        PyObject* m = PyList_GET_ITEM(candidates, i);
        long long v = 0;
        if (marker_small && PyDict_CheckExact(m)) {
            PyObject* id = id_at(m, st.s_id, hint);
            if (id && small_int(id, v)) {
                if (v > marker_value) list_append(out.get(), m);
                continue;
            }
            if (!id && PyErr_Occurred()) throw_error();
        }
        Ref hold = Ref::borrow(m);
        generic(hold.get());
    }
    return out;
}

void log_info(ModuleState& st, const char* format, PyObject* a, PyObject* b, PyObject* c) {
    Ref logger = module_global(st.dict, st.s_logger);
    Ref fmt = text(format);
    call_method(logger.get(), st.s_info, fmt, a, b, c);
}

// Whether the conversation a pass fetched is still the active one, with its
// own summary state: while a resume is loading, the cached summary still
// belongs to the conversation left behind.
bool same_conversation(ModuleState& st, PyObject* self, PyObject* conv_id) {
    ManagerObject* m = manager_of(st, self);
    if (m && loading_of(m)) return false;
    Ref active = manager_attr(st, self, st.s__active_conversation_id);
    if (active.get() == conv_id) return true;
    Ref eq = own(PyObject_RichCompare(active.get(), conv_id, Py_EQ));
    return truthy(eq.get());
}

Ref length_of(PyObject* o) { return own(PyLong_FromSsize_t(length(o))); }

// What a summarisation pass keeps across its suspensions (support/coro.hpp).
struct Summarize {
    Ref self;                        // the argument
    Ref conv_id{}, start_summary{};  // the conversation it fetched, with the summary
    Ref start_marker{};              // and the marker it had then
    Ref all_messages{};              // its history; then the messages to summarise, or the list they begin
    Ref total{};                     // the history's length
    Ref marker{}, running{};         // where summarising resumes, and the summary it extends
    Ref new_messages{};              // what the summarizer is given
    Ref summary{};                   // what it made of them, then merged
    Ref last_id{};                   // the id of the last message summarised
    auto refs() {
        return std::tie(self, conv_id, start_summary, start_marker, all_messages, total, marker, running,
                        new_messages, summary, last_id);
    }
};

// `total <= int(self._context_window * 1.5)`
bool within_threshold(ModuleState& st, Summarize& f) {
    Ref scaled = own(PyNumber_Multiply(manager_attr(st, f.self.get(), st.s__context_window).get(), st.f_factor));
    Ref threshold = own(PyNumber_Long(scaled.get()));
    Ref below = own(PyObject_RichCompare(f.total.get(), threshold.get(), Py_LE));
    return truthy(below.get());
}

// messages_to_summarize: all_messages[:-keep_count], which replaces
// all_messages, or, when the store handed over a list nobody else holds,
// all_messages itself up to the returned stop.
PrivateStop cut_window(ModuleState& st, Summarize& f) {
    Ref keep_count = manager_attr(st, f.self.get(), st.s__context_window);
    PrivateStop stop = private_slice_stop(f.all_messages.get(), keep_count.get());
    if (!stop) {
        Ref negated = own(PyNumber_Negative(keep_count.get()));
        Ref cut = own(PySlice_New(nullptr, negated.get(), nullptr));
        f.all_messages = own(PyObject_GetItem(f.all_messages.get(), cut.get()));
    }
    return stop;
}

// The marker and the running summary: the cached ones while the fetched
// conversation is still the active one, else those it had when the pass began.
void choose_base(ModuleState& st, Summarize& f) {
    if (same_conversation(st, f.self.get(), f.conv_id.get())) {
        f.marker = manager_attr(st, f.self.get(), st.s__summarized_up_to);
        f.running = manager_attr(st, f.self.get(), st.s__current_summary);
    } else {
        f.marker = f.start_marker;
        f.running = f.start_summary;
    }
}

void log_summarizing(ModuleState& st, Summarize& f) {
    Ref count = length_of(f.new_messages.get());
    Ref window = manager_attr(st, f.self.get(), st.s__context_window);
    log_info(st, "Summarizing %d messages (total: %d, window: %d)", count.get(), f.total.get(), window.get());
}

// `self._summarizer.summarize_messages(new_messages, existing_summary=text)`,
// `text` being the running summary's "summary" when it has one, else None.
Ref summarize_call(ModuleState& st, Summarize& f) {
    Ref existing = none();
    if (truthy(f.running.get())) {
        Ref text_value = mapping_get1(f.running.get(), st.s_summary, st.s_get);
        if (truthy(text_value.get())) existing = item(f.running.get(), st.s_summary);
    }
    return call_method_kw(manager_attr(st, f.self.get(), st.s__summarizer).get(), st.s_summarize_messages, st.kw_existing_summary,
                                f.new_messages, existing);
}

// Writes into the new summary how far it reaches: the last summarised id,
// the history's length and the number of messages summarised.
void record_extent(ModuleState& st, Summarize& f, PrivateStop stop) {
    Ref last, summarized_count;
    if (stop) {
        last = Ref::borrow(PyList_GET_ITEM(f.all_messages.get(), *stop - 1));
        f.last_id = item(last.get(), st.s_id);
        summarized_count = own(PyLong_FromSsize_t(*stop));
    } else {
        last = getindex(f.all_messages.get(), -1);
        f.last_id = item(last.get(), st.s_id);
        summarized_count = length_of(f.all_messages.get());
    }
    f.all_messages.reset();
    check(PyObject_SetItem(f.summary.get(), st.s_summarized_up_to, f.last_id.get()));
    check(PyObject_SetItem(f.summary.get(), st.s_message_count, f.total.get()));
    check(PyObject_SetItem(f.summary.get(), st.s_summarized_count, summarized_count.get()));
}

// Merges the new summary into the cached one while the fetched conversation
// is still active, else into the one the pass began with.
void merge_into_base(ModuleState& st, Summarize& f) {
    const bool same = same_conversation(st, f.self.get(), f.conv_id.get());
    Ref base = same ? manager_attr(st, f.self.get(), st.s__current_summary) : f.start_summary;
    if (truthy(base.get())) {
        Ref merge_fn = module_global(st.dict, st.s__merge_summaries);
        f.summary = call(merge_fn.get(), base, f.summary);
    }
    if (same) {
        // An overlapping pass that read a longer history may have moved
        // the marker further meanwhile; its summary is merged in, so the
        // marker stays where it is rather than moving back.
        Ref current = manager_attr(st, f.self.get(), st.s__summarized_up_to);
        Ref further = own(PyObject_RichCompare(current.get(), f.last_id.get(), Py_GT));
        if (truthy(further.get())) {
            f.last_id = std::move(current);
            check(PyObject_SetItem(f.summary.get(), st.s_summarized_up_to, f.last_id.get()));
        }
    }
}

void log_updated(ModuleState& st, PyObject* summary) {
    Ref goals = length_of(mapping_get(summary, st.s_goals, st.s_get, new_list().get()).get());
    Ref facts = length_of(mapping_get(summary, st.s_key_facts, st.s_get, new_list().get()).get());
    Ref progress = length_of(mapping_get(summary, st.s_progress, st.s_get, new_list().get()).get());
    log_info(st, "Summary updated: %d goals, %d facts, %d progress items", goals.get(), facts.get(), progress.get());
}

// The pass is bound to the conversation it fetched (conv_id): when another
// conversation has become active meanwhile, it works from the summary and
// marker that conv_id had when the pass began, saves under conv_id and
// leaves the manager's cached state alone.
constexpr SourceLine maybe_summarize_at = next_line();
Coro maybe_summarize(ModuleState& st, Summarize f) {
    if (!truthy(manager_attr(st, f.self.get(), st.s__summarizer).get())) co_return none();
    if (!truthy(manager_attr(st, f.self.get(), st.s__active_conversation_id).get())) co_return none();
    // While a resume is still loading the summary, the cached summary state
    // belongs to the conversation left behind: summarise on a later build.
    ManagerObject* manager = manager_of(st, f.self.get());
    if (manager && loading_of(manager)) co_return none();
    f.conv_id = manager_attr(st, f.self.get(), st.s__active_conversation_id);
    f.start_summary = manager_attr(st, f.self.get(), st.s__current_summary);
    f.start_marker = manager_attr(st, f.self.get(), st.s__summarized_up_to);

    f.all_messages = co_await store_call(st, f.self.get(), st.s_get_messages, f.conv_id);
    f.total = length_of(f.all_messages.get());
    if (within_threshold(st, f)) co_return none();

    PrivateStop stop = cut_window(st, f);
    choose_base(st, f);
    f.new_messages = select_new(st, f.all_messages.get(), stop, f.marker.get());
    if (PyList_GET_SIZE(f.new_messages.get()) == 0) co_return none();
    log_summarizing(st, f);

    try {
        f.summary = co_await summarize_call(st, f);
        record_extent(st, f, stop);
        merge_into_base(st, f);
        co_await store_call(st, f.self.get(), st.s_save_conversation_summary, f.conv_id, f.summary);
        if (same_conversation(st, f.self.get(), f.conv_id.get())) {
            setattr(f.self.get(), st.s__current_summary, f.summary.get());
            setattr(f.self.get(), st.s__summarized_up_to, f.last_id.get());
        }
        log_updated(st, f.summary.get());
    } catch (PyError& e) {
        if (!PyErr_GivenExceptionMatches(e.exception().get(), PyExc_Exception)) throw;
        Ref exc = e.take();
        Handling handling(exc.get());  // what the handler raises chains to exc
        add_traceback_entry(st, exc.get());  // where the pass was, as a Python handler would show it
        Ref message = own(PyUnicode_FromFormat("Summarization failed: %S", exc.get()));
        Ref logger = module_global(st.dict, st.s_logger);
        call_method_kw(logger.get(), st.s_error, st.kw_exc_info, message, exc);
    }
    co_return none();
}

// ---------------------------------------------------------------------------
// The message array (layer 5, the window, in window.cpp)

// Layer 2: the summary as the summarizer renders it.
void append_summary(ModuleState& st, PyObject* self, PyObject* messages) {
    if (!truthy(manager_attr(st, self, st.s__current_summary).get())) return;
    if (!truthy(manager_attr(st, self, st.s__summarizer).get())) return;
    Ref summarizer = manager_attr(st, self, st.s__summarizer);
    Ref current = manager_attr(st, self, st.s__current_summary);
    Ref rendered = call_method(summarizer.get(), st.s_format_summary_for_context, current);
    bool empty;
    if (PyUnicode_CheckExact(rendered.get())) {
        empty = blank(rendered.get());
    } else {
        Ref stripped = call_method(rendered.get(), st.s_strip);
        empty = !truthy(stripped.get());
    }
    if (!empty) append_system(st, messages, rendered.get());
}

// Layer 4: one line per fact.
void append_facts(ModuleState& st, PyObject* messages, PyObject* facts) {
    Ref lines = new_list();
    for_each(facts, [&](PyObject* fact) {
        Ref category = format_empty(item(fact, st.s_category).get());
        Ref content = format_empty(item(fact, st.s_content).get());
        list_append(lines.get(), own(PyUnicode_FromFormat("- [%U] %U", category.get(), content.get())).get());
    });
    Ref joined = own(PyUnicode_Join(st.t_newline, lines.get()));
    append_system(st, messages, own(PyUnicode_Concat(st.t_facts_header, joined.get())).get());
}

// Layer 3: the active plan as the planner renders it.
void append_plan(ModuleState& st, PyObject* self, PyObject* messages, PyObject* plan) {
    Ref planner = manager_attr(st, self, st.s__planner);
    Ref rendered = call_method(planner.get(), st.s_format_plan_for_context, plan);
    Ref content = own(PyUnicode_Concat(st.t_plan_header, format_empty(rendered.get()).get()));
    append_system(st, messages, content.get());
}

// `self._planner.get_active_plan(self._active_conversation_id)`
Ref active_plan_call(ModuleState& st, PyObject* self) {
    Ref planner = manager_attr(st, self, st.s__planner);
    Ref active = manager_attr(st, self, st.s__active_conversation_id);
    return call_method(planner.get(), st.s_get_active_plan, active);
}

// `self._memory.get_messages(self._active_conversation_id, limit=self._context_window)`
Ref recent_messages_call(ModuleState& st, PyObject* self) {
    Ref memory = manager_attr(st, self, st.s__memory);
    Ref active = manager_attr(st, self, st.s__active_conversation_id);
    Ref window = manager_attr(st, self, st.s__context_window);
    return call_method_kw(memory.get(), st.s_get_messages, st.kw_limit, active, window);
}

// What build_messages keeps across its suspensions (support/coro.hpp).
struct BuildMessages {
    Ref self;        // the argument
    Ref messages{};  // the array being built
    auto refs() { return std::tie(self, messages); }
};

constexpr SourceLine build_messages_at = next_line();
Coro build_messages(ModuleState& st, BuildMessages f) {
    co_await call_method(f.self.get(), st.s__maybe_summarize);

    f.messages = new_list();
    append_system(st, f.messages.get(), module_global(st.dict, st.s_SYSTEM_PROMPT).get());
    append_summary(st, f.self.get(), f.messages.get());

    if (truthy(manager_attr(st, f.self.get(), st.s__planner).get()) &&
        truthy(manager_attr(st, f.self.get(), st.s__active_conversation_id).get())) {
        Ref plan = co_await active_plan_call(st, f.self.get());
        if (truthy(plan.get())) append_plan(st, f.self.get(), f.messages.get(), plan.get());
    }

    {
        Ref facts = co_await store_call_kw(st, f.self.get(), st.s_get_facts, st.kw_limit, st.n_ten);
        if (truthy(facts.get())) append_facts(st, f.messages.get(), facts.get());
    }

    if (!truthy(manager_attr(st, f.self.get(), st.s__active_conversation_id).get())) co_return std::move(f.messages);
    Ref history = co_await recent_messages_call(st, f.self.get());
    append_recent(st, f.messages.get(), history.get());
    co_return std::move(f.messages);
}

// ---------------------------------------------------------------------------
// Operation table

PyObject* impl_build_messages(OpObject* op, PyObject** a) {
    return make_coroutine<build_messages>(op, BuildMessages{b(a[0])});
}

PyObject* impl_maybe_summarize(OpObject* op, PyObject** a) {
    return make_coroutine<maybe_summarize>(op, Summarize{b(a[0])});
}

constexpr ParamDef p_self[] = {{"self", required()}};

}  // namespace

const OpDef build_messages_def = {
    "build_messages",
    "Build the message array for the LLM, including system prompt and context.\n"
    "\n"
    "        Message structure (in order):\n"
    "          1. System prompt (overridden by agent)\n"
    "          2. [If exists] Conversation summary from earlier messages\n"
    "          3. [If exists] Active plan with progress\n"
    "          4. [If exists] Persistent facts\n"
    "          5. Recent conversation messages (within context window)\n"
    "        ",
    p_self, count(p_self), impl_build_messages, build_messages_at};

const OpDef maybe_summarize_def = {
    "_maybe_summarize",
    "Check if we need to summarize old messages and do so if needed.\n"
    "\n"
    "        Summarization is triggered when total messages exceed 1.5x the\n"
    "        context window. We summarize the oldest messages, keeping the\n"
    "        most recent context_window messages verbatim.\n"
    "        ",
    p_self, count(p_self), impl_maybe_summarize, maybe_summarize_at};

}  // namespace zv::conversation
