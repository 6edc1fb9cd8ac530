// The class Version: construction from text, its text and debug forms, and its conversions for the other classes.
#include "classes/version.hpp"

#include "binding/constructor.hpp"
#include "binding/text.hpp"

namespace trelk::classes::version {

using namespace core::version;

using namespace trelk::binding;

namespace {

struct VersionObject : Instance {
    Version value;
    void construct(Version&& version) noexcept { new (&value) Version(std::move(version)); }
    void destruct() noexcept { value.~Version(); }
};

struct VersionConstructor {
    static Signature& signature() {
        static Signature sig{"Version", "__new__", {"ver"}, 1, 1};
        return sig;
    }
    static Result<Ref> build(PyTypeObject* cls, const BoundArguments& arguments);
};

Result<Ref> VersionConstructor::build(PyTypeObject* cls, const BoundArguments& arguments) {
    Result<std::string_view> text = text_view_from_python(arguments.slots[0].get());
    if (!text.ok()) return argument_error(text.take_error(), "ver");
    ParseResult parsed = parse(text.value());
    if (auto* error = std::get_if<VersionParseError>(&parsed)) return Error::value(error_text(*error));
    return new_instance<VersionObject>(cls, std::move(std::get<Version>(parsed)));
}

// repr() and str(): the debug and the text form.
template <std::string (*form)(const Version&)>
PyObject* version_form(PyObject* self) noexcept {
    return guarded(
        [&]() -> PyObject* {
            const auto* version = unwritten_instance<VersionObject>(self, version_class);
            if (version == nullptr) return hand_over(entry_refusal(self, version_class, false));
            return hand_over(text_to_python(form(version->value)));
        });
}

PyType_Slot version_slots[] = {
    {Py_tp_doc, const_cast<char*>("Version(ver)\n--\n\nA generic version.\n\n"
                                  "See the documentation for this module for more information.")},
    {Py_tp_new, reinterpret_cast<void*>(constructor_new<VersionConstructor>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(destroy_instance<VersionObject>)},
    {Py_tp_repr, reinterpret_cast<void*>(version_form<debug_text>)},
    {Py_tp_str, reinterpret_cast<void*>(version_form<to_text>)},
    {0, nullptr},
};

}  // namespace

ClassDef version_class{
    .name = "Version",
    .basicsize = sizeof(VersionObject),
    .instantiable = true,
    .slots = version_slots,
    .vectorcall = constructor_vectorcall<VersionConstructor>,
};

std::optional<Version> exact_version_copy(PyObject* obj) {
    const auto* version = unwritten_instance<VersionObject>(obj, version_class);
    if (version == nullptr) return std::nullopt;
    return version->value;
}

Result<Ref> version_to_python(Version version) {
    PyTypeObject* cls = class_object(version_class);
    if (cls == nullptr) return Error::pending();
    return new_instance<VersionObject>(cls, std::move(version));
}

}  // namespace trelk::classes::version
