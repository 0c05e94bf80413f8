// Boxes whose creator gets host atoms as they are, for hosts that replay a
// patch atom by atom (and for fuzzing the creator with any type codes).
#include <climits>
#include <new>
#include <string>

#include "runtime.h"

namespace standin {

namespace {

Box* fail(std::string* error, std::string text) {
    if (error) *error = std::move(text);
    return nullptr;
}

Box* create(const std::string& name, const std::vector<MaxAtom>& atoms, std::string* error) {
    Runtime& r = rt();
    auto it = r.class_by_name.find(name);
    if (it == r.class_by_name.end()) return fail(error, name + ": not loaded (create a box of it first)");
    Class* cls = it->second;
    if (cls->builtin) return fail(error, name + ": made by the host, not as a box");
    if (!cls->creator) return fail(error, name + ": the class has no creator");
    if (cls->creator_types.empty() || cls->creator_types[0] != A_GIMME)
        return fail(error, name + ": the creator takes arguments that this host does not pass");
    if (atoms.size() > static_cast<size_t>(INT16_MAX)) return fail(error, name + ": too many arguments");

    std::vector<MaxAtom> argv(atoms);  // the creator's own copy
    void* made;
    {
        ExternalCall call(cls, "creator");
        made = reinterpret_cast<MaxNewMethod>(cls->creator)(symbol(name), static_cast<int16_t>(argv.size()),
                                                            argv.data());
    }
    if (!made) return fail(error, name + ": the creator returned no object");
    ObjectState* state = object_state(made);
    if (!state || state->box || state->releasing)
        return fail(error, name + ": the creator returned something that is not a new object");

    auto box = std::make_unique<Box>();
    box->object = static_cast<MaxObject*>(made);
    box->cls = state->cls;
    box->text = name;
    state->box = box.get();
    r.boxes.push_back(std::move(box));
    return state->box;
}

}  // namespace

Box* box_create_atoms(const std::string& name, const std::vector<MaxAtom>& atoms, std::string* error) {
    try {
        return create(name, atoms, error);
    } catch (const std::bad_alloc&) {
        return fail(error, "out of memory");
    }
}

}  // namespace standin
