// Loading externals and creating boxes: NAME.mxe is found on the search
// path, opened once, its `main` run once; the class it sets up makes the
// box's object. Opening the library is the operating system's part
// (system.h).
#include <algorithm>
#include <climits>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>

#include "runtime.h"
#include "system.h"

namespace standin {

namespace {

bool fail(std::string* error, std::string text) {
    if (error) *error = std::move(text);
    return false;
}

std::vector<std::string> search_dirs() {
    std::vector<std::string> dirs = rt().search_paths;
    std::string exe = system::executable_dir();
    if (!exe.empty()) {
        dirs.push_back(exe);
        dirs.push_back(exe + "/../lib/vorn");  // installed
        dirs.push_back(exe + "/../lib");       // a build tree
    }
    return dirs;
}

bool is_file(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

// The class of `name`, loading its library if this is the first time.
Class* load_class(const std::string& name, std::string* error) {
    Runtime& r = rt();
    if (auto it = r.class_by_name.find(name); it != r.class_by_name.end()) return it->second;
    if (auto it = r.libraries.find(name); it != r.libraries.end()) {
        fail(error, it->second.error);  // loaded before, and it gave no class
        return nullptr;
    }
    if (name.find_first_of(system::kPathSeparators) != std::string::npos) {
        fail(error, "'" + name + "' is not a valid object name");
        return nullptr;
    }
    const std::string file = name + ".mxe";
    std::string path;
    std::vector<std::string> dirs = search_dirs();
    for (const std::string& dir : dirs) {
        if (is_file(dir + "/" + file)) {
            path = dir + "/" + file;
            break;
        }
    }
    if (path.empty()) {
        std::string where;
        for (const std::string& dir : dirs) where += (where.empty() ? "" : ", ") + dir;
        fail(error, name + ": cannot find " + file + " in the search path (" + where + ")");
        return nullptr;
    }

    // Externals run in the floating-point state the host sets once, before
    // it loads the first of them.
    apply_host_fpu_state();

    // Never unloaded: the library stays whatever happens next.
    std::string why;
    void* handle = system::open_library(path, &why);
    if (!handle) {
        fail(error, name + ": cannot load " + path + ": " + why);
        return nullptr;  // not remembered: the file may be fixed and tried again
    }
    Library& lib = r.libraries[name];
    lib.handle = handle;
    MaxMainFunction entry = system::library_main(handle);
    if (!entry) {
        lib.error = name + ": " + path + " has no main";
        fail(error, lib.error);
        return nullptr;
    }
    const std::string* outer = r.loading;
    r.loading = &name;
    {
        ExternalCall call(name, "main");
        entry();
    }
    r.loading = outer;
    if (!lib.cls) {
        lib.error = name + ": main did not set up a class";
        fail(error, lib.error);
        return nullptr;
    }
    r.class_by_name[name] = lib.cls;
    return lib.cls;
}

MaxAtom to_host_atom(const Atom& a) {
    MaxAtom out{};
    switch (a.kind) {
    case Atom::Int: out.type = A_LONG; out.value.w_long = a.i; break;
    case Atom::Float: out.type = A_FLOAT; out.value.w_float = a.f; break;
    case Atom::Symbol: out.type = A_SYM; out.value.w_sym = symbol(a.s); break;
    }
    return out;
}

Box* create(const std::string& text, std::string* error) {
    std::vector<Atom> atoms = parse_atoms(text);
    if (atoms.empty()) return fail(error, "empty box"), nullptr;
    if (atoms[0].kind != Atom::Symbol) return fail(error, "'" + text + "' does not start with an object name"), nullptr;
    const std::string name = atoms[0].s;
    Class* cls = load_class(name, error);
    if (!cls) return nullptr;
    if (cls->builtin) return fail(error, name + ": made by the host, not as a box"), nullptr;
    if (!cls->creator) return fail(error, name + ": the class has no creator"), nullptr;
    if (cls->creator_types.empty() || cls->creator_types[0] != A_GIMME)
        return fail(error, name + ": the creator takes arguments that this host does not pass"), nullptr;
    if (atoms.size() - 1 > static_cast<size_t>(INT16_MAX)) return fail(error, name + ": too many arguments"), nullptr;

    std::vector<MaxAtom> argv;
    std::transform(atoms.begin() + 1, atoms.end(), std::back_inserter(argv), to_host_atom);
    void* made;
    {
        ExternalCall call(cls, "creator");
        made = reinterpret_cast<MaxNewMethod>(cls->creator)(symbol(name), static_cast<int16_t>(argv.size()),
                                                            argv.data());
    }
    if (!made) return fail(error, name + ": the creator returned no object"), nullptr;
    ObjectState* state = object_state(made);
    if (!state || state->box || state->releasing)
        return fail(error, name + ": the creator returned something that is not a new object"), nullptr;

    auto box = std::make_unique<Box>();
    box->object = static_cast<MaxObject*>(made);
    box->cls = state->cls;
    box->text = text;
    state->box = box.get();
    rt().boxes.push_back(std::move(box));
    return state->box;
}

}  // namespace

void add_search_path(const std::string& dir) {
    auto& paths = rt().search_paths;
    if (!dir.empty() && std::find(paths.begin(), paths.end(), dir) == paths.end()) paths.push_back(dir);
}

Box* box_create(const std::string& text, std::string* error) {
    try {
        return create(text, error);
    } catch (const std::bad_alloc&) {
        fail(error, "out of memory");
        return nullptr;
    }
}

}  // namespace standin
