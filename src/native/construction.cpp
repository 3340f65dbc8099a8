// Construction of a Color: see construction.h.
#include "construction.h"

#include <bit>
#include <cstdint>

#include "color_type.h"
#include "error_messages.h"
#include "int_conversion.h"
#include "process_state.h"
#include "references.h"
#include "traceback_entry.h"

namespace vantel::color {
namespace {

constexpr char kInitName[] = "__init__";

// Keyword arguments as tp_init receives them: a dictionary, whose keys may
// be any objects.  An __int__ that runs later may change the dictionary, so
// binding holds a reference to each argument (a Slot).
class DictKeywords {
public:
    static constexpr bool kNamesCheckedFirst = true;
    using Slot = OwnedRef;
    static Slot hold(PyObject *argument) { return OwnedRef(Py_NewRef(argument)); }

    explicit DictKeywords(PyObject *dict) : dict_(dict) {}
    Py_ssize_t size() const { return dict_ != nullptr ? PyDict_GET_SIZE(dict_) : 0; }
    int validate() const { return PyArg_ValidateKeywordArguments(dict_) ? 0 : -1; }
    // Visits (key, value) in the dictionary's order while `visit` returns true.
    template <class Visit> void for_each(Visit visit) const
    {
        Py_ssize_t position = 0;
        PyObject *key;
        PyObject *value;
        while (PyDict_Next(dict_, &position, &key, &value)) {
            if (!visit(key, value)) {
                return;
            }
        }
    }

private:
    PyObject *dict_;
};

// Keyword arguments as a vectorcall receives them: names, and their values
// after the positional ones.  The caller keeps every argument alive for the
// call, so binding borrows them.  The protocol requires the names to be
// strings, which every call from Python code obeys; C code that breaks the
// rule is refused as a dictionary with such a key is, but the names are
// checked only once one of them names no open parameter.
class VectorKeywords {
public:
    static constexpr bool kNamesCheckedFirst = false;
    using Slot = PyObject *;
    static Slot hold(PyObject *argument) { return argument; }

    VectorKeywords(PyObject *names, PyObject *const *values) : names_(names), values_(values) {}
    Py_ssize_t size() const { return names_ != nullptr ? PyTuple_GET_SIZE(names_) : 0; }
    int validate() const
    {
        for (Py_ssize_t i = 0; i < size(); ++i) {
            if (!PyUnicode_Check(PyTuple_GET_ITEM(names_, i))) {
                PyErr_SetString(PyExc_TypeError, "keywords must be strings");
                return -1;
            }
        }
        return 0;
    }
    template <class Visit> void for_each(Visit visit) const
    {
        for (Py_ssize_t i = 0; i < size(); ++i) {
            if (!visit(PyTuple_GET_ITEM(names_, i), values_[i])) {
                return;
            }
        }
    }

private:
    PyObject *names_;
    PyObject *const *values_;
};

int raise_too_few_arguments(Py_ssize_t given)
{
    return raise_kept_count_error(process.caches.too_few_arguments[given], kInitName, "at least",
                                  3, "s", given);
}

// The position of the parameter a keyword names, or -1.  Keywords compare
// by their text, so a str subclass names a parameter like a str; any other
// key names none.
int parameter_index(PyObject *key)
{
    PyObject *const *parameter_names = process.constants.parameter_names;
    for (int i = 0; i < 4; ++i) {
        if (key == parameter_names[i]) {
            return i;
        }
    }
    if (!PyUnicode_Check(key)) {
        return -1;
    }
    for (int i = 0; i < 4; ++i) {
        if (PyUnicode_Compare(key, parameter_names[i]) == 0) {
            return i;
        }
    }
    return -1;
}

// Matches the arguments of every call that initialise() does not store
// itself (one with keywords, or with a wrong number of positional
// arguments) to r, g, b and a.  `slots` receives the arguments as Keywords
// holds them, null for an omitted a; the caller keeps them whatever the
// outcome.
template <class Keywords>
int bind_init_arguments(PyObject *const *args, Py_ssize_t nargs, const Keywords &keywords,
                        typename Keywords::Slot (&slots)[4])
{
    if (nargs > 4) {
        return raise_count_error(kInitName, "at most", 4, "s", nargs);
    }
    if (keywords.size() == 0) {
        return raise_too_few_arguments(nargs);  // fewer than 3: 3 or 4 never come here
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        slots[i] = Keywords::hold(args[i]);
    }
    if (Keywords::kNamesCheckedFirst && keywords.validate() < 0) {
        return -1;
    }
    // In the caller's order, the first keyword that names no parameter still
    // open decides the error, unless a name is not a string at all.
    bool failed = false;
    keywords.for_each([&](PyObject *key, PyObject *value) {
        const int index = parameter_index(key);
        if (index >= 0 && !slots[index]) {
            slots[index] = Keywords::hold(value);
            return true;
        }
        if (!Keywords::kNamesCheckedFirst && keywords.validate() < 0) {
            // Refused as if checked first.
        } else if (index < 0) {
            raise_unexpected_keyword(kInitName, key);
        } else {
            raise_multiple_values(kInitName, key);
        }
        failed = true;
        return false;
    });
    if (failed) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < 3; ++i) {
        if (!slots[i]) {
            return raise_too_few_arguments(i);
        }
    }
    return 0;
}

// An argument as convert_and_store() reads it: the caller's own pointer, or
// the reference that binding took.
inline PyObject *borrowed(PyObject *object)
{
    return object;
}

inline PyObject *borrowed(const OwnedRef &object)
{
    return object.get();
}

// Converts every given argument, in parameter order, before anything is
// stored; then stores all four channels in one write.  An argument's
// __int__ may run arbitrary code, even on this colour: the store comes last.
// `arguments` holds r, g, b and, when `has_alpha`, a.
template <class Argument>
int convert_and_store(VantelColorObject *self, const Argument *arguments, bool has_alpha)
{
    int32_t values[4] = {0, 0, 0, 255};
    for (int i = 0; i < (has_alpha ? 4 : 3); ++i) {
        values[i] = object_to_int(borrowed(arguments[i]));
        if (values[i] == -1 && PyErr_Occurred()) [[unlikely]] {
            return -1;
        }
    }
    store_channels(self, {clamp_to_byte(values[0]), clamp_to_byte(values[1]),
                          clamp_to_byte(values[2]), clamp_to_byte(values[3])});
    return 0;
}

// Every call but the common one: keywords, or a wrong number of arguments.
template <class Keywords>
int bind_and_initialise(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                        const Keywords &keywords)
{
    typename Keywords::Slot slots[4] = {};
    int result = bind_init_arguments(args, nargs, keywords, slots);
    if (result == 0) {
        result = convert_and_store(as_color(self), slots, bool(slots[3]));
    }
    if (result < 0) {
        add_traceback_entry(Label::ColorInit);
    }
    return result;
}

// The common arguments: ints below 2**30 in magnitude, clamped straight
// from their one digit with nothing that can fail or call out.  Stores the
// colour and returns true; or returns false, having stored nothing, when
// one argument is another object.
bool store_compact_ints(VantelColorObject *self, PyObject *const *arguments, bool has_alpha)
{
    uint8_t bytes[4] = {0, 0, 0, 255};
    for (int i = 0; i < (has_alpha ? 4 : 3); ++i) {
        if (!PyLong_Check(arguments[i])) [[unlikely]] {
            return false;
        }
        const auto *number = reinterpret_cast<const PyLongObject *>(arguments[i]);
        if (!_PyLong_IsCompact(number)) [[unlikely]] {
            return false;
        }
        // A negative value clamps to 0; zero's digit is 0.
        const bool negative = (number->long_value.lv_tag & _PyLong_SIGN_MASK) == 2;
        const digit magnitude = number->long_value.ob_digit[0];
        bytes[i] = negative ? 0 : magnitude > 255 ? 255 : static_cast<uint8_t>(magnitude);
    }
    store_channels(self, {bytes[0], bytes[1], bytes[2], bytes[3]});
    return true;
}

template <class Keywords>
int initialise(PyObject *self, PyObject *const *args, Py_ssize_t nargs, const Keywords &keywords)
{
    if (keywords.size() != 0 || nargs < 3 || nargs > 4) [[unlikely]] {
        return bind_and_initialise(self, args, nargs, keywords);
    }
    // The common call: the positional arguments are r, g, b and maybe a.
    const bool has_alpha = nargs == 4;
    if (store_compact_ints(as_color(self), args, has_alpha)) [[likely]] {
        return 0;
    }
    if (convert_and_store(as_color(self), args, has_alpha) < 0) {
        add_traceback_entry(Label::ColorInit);
        return -1;
    }
    return 0;
}

// The interpreter's shared ints 0..255 (the ones every int of that value
// is) lie in one array of int objects in every CPython this module
// supports; where they do, an argument that is one of them gives its value
// by its address alone, and anything else (another int, any other object)
// lies outside the array.  Checked once at module execution (an execution
// retried after a failure may find colours of the first in use): where the
// layout differs, the limit stays 0 and every argument takes the general
// path.  Without the GIL other threads read these while an execution
// retried in a thread writes them: each access is atomic, and a reader that
// sees the limit but not yet the zero's address computes offsets too large
// for it, and takes the general path.
constexpr uintptr_t kSharedIntSize = sizeof(PyLongObject);

// The channels of Color(r, g, b[, a]) when every argument is a shared int
// 0..255: true, having set `channels`; false otherwise.  An offset is a
// multiple of the int's size: where that is a power of two, the offsets are
// all below the limit exactly when their union is, and one shift of each
// places its byte.
bool shared_int_channels(PyObject *const *args, bool has_alpha, VantelRaylibColor &channels)
{
    const ProcessState::Constants &constants = process.constants;
    const uintptr_t zero = load_relaxed(constants.shared_int_zero);
    const auto offset = [zero](PyObject *arg) { return reinterpret_cast<uintptr_t>(arg) - zero; };
    const uintptr_t r = offset(args[0]);
    const uintptr_t g = offset(args[1]);
    const uintptr_t b = offset(args[2]);
    const uintptr_t a = has_alpha ? offset(args[3]) : 255 * kSharedIntSize;
    constexpr int kShift = std::countr_zero(kSharedIntSize);
    if constexpr (std::has_single_bit(kSharedIntSize) && kShift <= 8 &&
                  std::endian::native == std::endian::little) {
        if ((r | g | b | a) >= load_relaxed(constants.shared_int_limit)) {
            return false;
        }
        channels = std::bit_cast<VantelRaylibColor>(static_cast<ChannelWord>(
            r >> kShift | g << (8 - kShift) | b << (16 - kShift) | a << (24 - kShift)));
    } else {
        const uintptr_t limit = load_relaxed(constants.shared_int_limit);
        if (r >= limit || g >= limit || b >= limit || a >= limit) {
            return false;
        }
        channels = {static_cast<uint8_t>(r / kSharedIntSize),
                    static_cast<uint8_t>(g / kSharedIntSize),
                    static_cast<uint8_t>(b / kSharedIntSize),
                    static_cast<uint8_t>(a / kSharedIntSize)};
    }
    return true;
}

int find_shared_ints()
{
    ProcessState::Constants &constants = process.constants;
    if (load_relaxed(constants.shared_ints_searched)) {
        return 0;
    }
    OwnedRef zero(PyLong_FromLong(0));
    if (!zero) {
        return -1;
    }
    const auto base = reinterpret_cast<uintptr_t>(zero.get());
    for (long value = 1; value < 256; ++value) {
        OwnedRef number(PyLong_FromLong(value));
        if (!number) {
            return -1;
        }
        if (reinterpret_cast<uintptr_t>(number.get()) !=
            base + static_cast<uintptr_t>(value) * kSharedIntSize) {
            store_relaxed(constants.shared_ints_searched, true);
            return 0;
        }
    }
    store_relaxed(constants.shared_int_zero, base);
    store_relaxed(constants.shared_int_limit, 256 * kSharedIntSize);
    store_relaxed(constants.shared_ints_searched, true);
    return 0;
}

// Every Color(...) call but the common one, kept out of line (and out of
// the compiler's reach, which would drop the unused argument) so that the
// common one saves no registers for it and passes its arguments on
// untouched.
#if defined(__GNUC__) && !defined(__clang__)
[[gnu::noipa]]  // g++'s: no inlining, and no changing of the signature either
#else
[[gnu::noinline]]
#endif
PyObject *make_and_initialise(PyObject *, PyObject *const *args, size_t nargsf, PyObject *kwnames)
{
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject *self = new_exact_color();
    if (self == nullptr) {
        return nullptr;
    }
    if (initialise(self, args, nargs, VectorKeywords(kwnames, args + nargs)) < 0) {
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

}  // namespace

int color_init(PyObject *self, PyObject *args, PyObject *kwds)
{
    return initialise(self, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args),
                      DictKeywords(kwds));
}

// Color(...) without building an argument tuple: creation and __init__ as
// type.__call__ runs them, with the same results and errors.  The entry is
// never inherited, so only the exact type arrives here.
PyObject *color_vectorcall(PyObject *type, PyObject *const *args, size_t nargsf,
                           PyObject *kwnames)
{
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    VantelRaylibColor channels;
    if (kwnames == nullptr && (nargs == 3 || nargs == 4) &&
        shared_int_channels(args, nargs == 4, channels)) [[likely]] {
        return new_exact_color(channels);
    }
    return make_and_initialise(type, args, nargsf, kwnames);
}

int make_construction_constants()
{
    if (find_shared_ints() < 0) {
        return -1;
    }
    constexpr const char *names[] = {"r", "g", "b", "a"};
    for (int i = 0; i < 4; ++i) {
        const char *name = names[i];
        if (make_constant(process.constants.parameter_names[i],
                          [name] { return PyUnicode_InternFromString(name); }) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace vantel::color
