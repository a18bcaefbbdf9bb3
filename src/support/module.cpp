#include "support/module.hpp"

#include <cstring>
#include <string>
#include <vector>

namespace zv {

Ref keywords(const char* words) {
    std::vector<Ref> names;
    std::string word;
    for (const char* at = words;; ++at) {
        if (*at && *at != ' ') {
            word += *at;
            continue;
        }
        names.push_back(interned(word.c_str()));
        word.clear();
        if (!*at) break;
    }
    Ref t = own(PyTuple_New(Py_ssize_t(names.size())));
    for (std::size_t i = 0; i < names.size(); ++i) PyTuple_SET_ITEM(t.get(), Py_ssize_t(i), names[i].release());
    return t;
}

Ref new_class(PyObject* module, const PyType_Spec& spec, const Signature& init, const char* doc) {
    const char* dot = std::strrchr(spec.name, '.');
    std::string full = std::string(dot ? dot + 1 : spec.name) + init.text_signature(1) + "\n--\n\n" + doc;
    std::vector<PyType_Slot> slots{{Py_tp_doc, full.data()}};  // the type keeps a copy of the text
    for (const PyType_Slot* s = spec.slots; s->slot; ++s) slots.push_back(*s);
    slots.push_back({0, nullptr});
    PyType_Spec documented = spec;
    documented.slots = slots.data();
    return own(PyType_FromModuleAndSpec(module, &documented, nullptr));
}

}  // namespace zv
