#include "support/module.hpp"

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

}  // namespace zv
