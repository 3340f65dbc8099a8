/* _failing_alloc: a test-only extension that makes one allocation fail.
 *
 * It wraps the interpreter's three allocator domains (raw, mem, object).
 * arm(n) makes the n-th allocation after it, in any domain, return NULL,
 * once; the injector then disarms itself, so that the error path that
 * follows runs with memory to spare.  call(n, f, *args) arms, calls f from C
 * (no Python frame of the caller is involved), disarms and returns
 * (fired, result or exception).
 *
 * The interpreter has faults of its own under allocation failure.  avoid()
 * takes groups of C API functions: an allocation whose call stack holds the
 * code of every function of one group is let through and the failure moves
 * on to the next allocation.  The code a function runs is found without the
 * interpreter's symbols (a distribution's interpreter has none): the
 * injector calls the function itself and notes, from the unwind tables that
 * stripping leaves, which function of the interpreter its first allocation
 * happens under.  Where a function's code cannot be found, an allocation
 * with the rest of its group on the stack is let through too, and counted
 * apart as undecided.
 *
 * count_within() takes address ranges: when it is set, only allocations
 * made with code of those ranges on the stack count towards n (the module's
 * own code, say, apart from the import machinery around it).
 *
 * It also counts the blocks its wrappers hand out and take back, so that a
 * leak shows whichever allocator sits beneath (pymalloc or malloc).
 */
#define _GNU_SOURCE /* dladdr */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <dlfcn.h>
#include <execinfo.h>
#include <stdint.h>

/* libgcc's lookup of the unwind entry (FDE) that covers a code address,
 * which also gives the start of the function the entry describes. */
struct dwarf_eh_bases {
    void *tbase;
    void *dbase;
    void *func;
};
extern const void *_Unwind_Find_FDE(void *pc, struct dwarf_eh_bases *bases);

typedef struct {
    PyMemAllocatorEx original;
    PyMemAllocatorDomain domain;
} Domain;

static Domain domains[3] = {
    {.domain = PYMEM_DOMAIN_RAW},
    {.domain = PYMEM_DOMAIN_MEM},
    {.domain = PYMEM_DOMAIN_OBJ},
};

static int installed;
static long remaining;       /* allocations until the failure; 0: disarmed */
static int fired;            /* the armed failure has happened */
static long avoided;         /* failures moved on past the interpreter's faults */
static long undecided;       /* failures moved on past code that could not be found */
static Py_ssize_t live_blocks;

#define MAX_GROUPS 8
#define MAX_MEMBERS 4
#define MAX_RANGES 4
#define STACK_DEPTH 64

typedef struct {
    uintptr_t start, end;
} Range;

static Range counted_ranges[MAX_RANGES];
static int counted_range_count;

/* The start of the function that holds return address `address`, or 0
 * where no unwind entry covers it. */
static uintptr_t function_of(void *address)
{
    struct dwarf_eh_bases bases;
    /* A call may be the last instruction of its function: look at the call,
       not at the byte after it. */
    if (_Unwind_Find_FDE((char *)address - 1, &bases) == NULL) {
        return 0;
    }
    return (uintptr_t)bases.func;
}

/* A C API function and the interpreter's function that a call of it
 * allocates under (what it runs itself, or jumps to). */
typedef struct {
    const char *name;
    /* Calls the function so that it allocates, with recording pointing at
       `code`; 0, or -1 with an exception set. */
    int (*call)(uintptr_t *code);
    uintptr_t code; /* 0: not found */
    int probed;
} Probe;

/* While set, the first allocation notes here the outermost function of
 * the interpreter on its stack. */
static uintptr_t *recording;
static void *own_base; /* where this extension is loaded */

static int own_code(void *address)
{
    Dl_info info;
    return dladdr(address, &info) != 0 && info.dli_fbase == own_base;
}

/* The function of the interpreter that this extension's call into it runs:
 * the outermost frame between the allocator wrappers and the caller here. */
static uintptr_t outermost_interpreter_function(void)
{
    void *frames[STACK_DEPTH];
    int depth = backtrace(frames, STACK_DEPTH);
    int i = 0;
    /* A sanitizer's interceptor of backtrace() may come first. */
    while (i < depth && !own_code(frames[i])) {
        ++i;
    }
    while (i < depth && own_code(frames[i])) {
        ++i;
    }
    int outermost = -1;
    while (i < depth && !own_code(frames[i])) {
        outermost = i++;
    }
    return outermost < 0 || i == depth ? 0 : function_of(frames[outermost]);
}

static PyTypeObject probe_type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "_failing_alloc.probe",
    .tp_basicsize = sizeof(PyObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
};

static int probe_type_ready(uintptr_t *code)
{
    recording = code;
    int status = PyType_Ready(&probe_type);
    recording = NULL;
    return status;
}

/* Sets dict[number] = None; 0, or -1 with an exception set. */
static int set_none(PyObject *dict, long number)
{
    PyObject *key = PyLong_FromLong(number);
    int status = key == NULL ? -1 : PyDict_SetItem(dict, key, Py_None);
    Py_XDECREF(key);
    return status;
}

static int probe_dict_setdefault_ref(uintptr_t *code)
{
    /* Five items fill a new dict's table: a sixth grows it, and a grown
       table never comes from a free list. */
    PyObject *dict = PyDict_New();
    PyObject *sixth = PyLong_FromLong(5);
    int status = dict == NULL || sixth == NULL ? -1 : 0;
    for (long number = 0; status == 0 && number < 5; ++number) {
        status = set_none(dict, number);
    }
    if (status == 0) {
        recording = code;
        status = PyDict_SetDefaultRef(dict, sixth, Py_None, NULL) < 0 ? -1 : 0;
        recording = NULL;
    }
    Py_XDECREF(sixth);
    Py_XDECREF(dict);
    return status;
}

static Probe probes[] = {
    {"PyType_Ready", probe_type_ready, 0, 0},
    {"PyDict_SetDefaultRef", probe_dict_setdefault_ref, 0, 0},
};

/* The code of the groups given to avoid(); 0 for a function not found. */
static struct {
    int count;
    uintptr_t code[MAX_MEMBERS];
} avoid_groups[MAX_GROUPS];
static int avoid_group_count;

static int stack_in_range(void *const *frames, int depth, Range range)
{
    for (int i = 0; i < depth; ++i) {
        uintptr_t address = (uintptr_t)frames[i];
        if (address > range.start && address <= range.end) {
            return 1;
        }
    }
    return 0;
}

static int stack_in_any(const Range *ranges, int count)
{
    void *frames[STACK_DEPTH];
    int depth = backtrace(frames, STACK_DEPTH);
    for (int r = 0; r < count; ++r) {
        if (stack_in_range(frames, depth, ranges[r])) {
            return 1;
        }
    }
    return 0;
}

typedef enum { LET_FAIL, AVOID, UNDECIDED } Verdict;

/* Whether the allocation about to fail runs the code of a group: all of
 * it (AVOID), or all that was found of a group with code not found
 * (UNDECIDED: it may be the fault, or not). */
static Verdict judge_stack(void)
{
    if (avoid_group_count == 0) {
        return LET_FAIL;
    }
    void *frames[STACK_DEPTH];
    int depth = backtrace(frames, STACK_DEPTH);
    uintptr_t functions[STACK_DEPTH];
    for (int i = 0; i < depth; ++i) {
        functions[i] = function_of(frames[i]);
    }
    for (int g = 0; g < avoid_group_count; ++g) {
        int all_found = 1;
        int on_stack = 1;
        for (int m = 0; on_stack && m < avoid_groups[g].count; ++m) {
            uintptr_t code = avoid_groups[g].code[m];
            if (code == 0) {
                all_found = 0;
                continue;
            }
            on_stack = 0;
            for (int i = 0; !on_stack && i < depth; ++i) {
                on_stack = functions[i] == code;
            }
        }
        if (on_stack) {
            return all_found ? AVOID : UNDECIDED;
        }
    }
    return LET_FAIL;
}

/* True if this allocation is the one to fail. */
static int should_fail(void)
{
    if (recording != NULL && *recording == 0) {
        *recording = outermost_interpreter_function();
    }
    if (remaining == 0) {
        return 0;
    }
    if (counted_range_count > 0 && !stack_in_any(counted_ranges, counted_range_count)) {
        return 0;
    }
    if (--remaining > 0) {
        return 0;
    }
    switch (judge_stack()) {
    case AVOID:
        ++avoided;
        remaining = 1;
        return 0;
    case UNDECIDED:
        ++undecided;
        remaining = 1;
        return 0;
    case LET_FAIL:
        break;
    }
    fired = 1;
    return 1;
}
static void *counted(void *block)
{
    if (block != NULL) {
        ++live_blocks;
    }
    return block;
}

static void *wrapped_malloc(void *ctx, size_t size)
{
    Domain *domain = ctx;
    return should_fail() ? NULL
                         : counted(domain->original.malloc(domain->original.ctx, size));
}

static void *wrapped_calloc(void *ctx, size_t count, size_t size)
{
    Domain *domain = ctx;
    return should_fail() ? NULL
                         : counted(domain->original.calloc(domain->original.ctx, count, size));
}

static void *wrapped_realloc(void *ctx, void *block, size_t size)
{
    Domain *domain = ctx;
    if (should_fail()) {
        return NULL;
    }
    void *moved = domain->original.realloc(domain->original.ctx, block, size);
    if (block == NULL) {
        counted(moved);
    }
    return moved;
}

static void wrapped_free(void *ctx, void *block)
{
    Domain *domain = ctx;
    if (block != NULL) {
        --live_blocks;
    }
    domain->original.free(domain->original.ctx, block);
}

static void install(void)
{
    void *frames[1];
    (void)backtrace(frames, 1); /* loads the unwinder now, not inside a wrapper */
    Dl_info info;
    if (dladdr(&own_base, &info) != 0) {
        own_base = info.dli_fbase;
    }
    for (int i = 0; i < 3; ++i) {
        PyMem_GetAllocator(domains[i].domain, &domains[i].original);
        PyMemAllocatorEx wrapper = {
            .ctx = &domains[i],
            .malloc = wrapped_malloc,
            .calloc = wrapped_calloc,
            .realloc = wrapped_realloc,
            .free = wrapped_free,
        };
        PyMem_SetAllocator(domains[i].domain, &wrapper);
    }
    installed = 1;
}

static PyObject *failing_arm(PyObject *module, PyObject *arg)
{
    long n = PyLong_AsLong(arg);
    if (n == -1 && PyErr_Occurred()) {
        return NULL;
    }
    if (n < 1) {
        PyErr_SetString(PyExc_ValueError, "arm(n) needs n >= 1");
        return NULL;
    }
    fired = 0;
    remaining = n;
    Py_RETURN_NONE;
}

static PyObject *failing_disarm(PyObject *module, PyObject *unused)
{
    remaining = 0;
    Py_RETURN_NONE;
}

static PyObject *failing_fired(PyObject *module, PyObject *unused)
{
    return PyBool_FromLong(fired);
}

static PyObject *failing_avoided(PyObject *module, PyObject *unused)
{
    return PyLong_FromLong(avoided);
}

static PyObject *failing_undecided(PyObject *module, PyObject *unused)
{
    return PyLong_FromLong(undecided);
}

static PyObject *failing_live_blocks(PyObject *module, PyObject *unused)
{
    return PyLong_FromSsize_t(live_blocks);
}

/* call(n, f, *args) -> (fired, result, exception): exactly one of result
 * and exception is None, unless f returned None. */
static PyObject *failing_call(PyObject *module, PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs < 2) {
        PyErr_SetString(PyExc_TypeError, "call(n, f, *args)");
        return NULL;
    }
    long n = PyLong_AsLong(args[0]);
    if (n == -1 && PyErr_Occurred()) {
        return NULL;
    }
    fired = 0;
    remaining = n;
    PyObject *result = PyObject_Vectorcall(args[1], args + 2, (size_t)(nargs - 2), NULL);
    remaining = 0;
    PyObject *exception = result == NULL ? PyErr_GetRaisedException() : NULL;
    PyObject *outcome = Py_BuildValue("(ONN)", fired ? Py_True : Py_False,
                                      result != NULL ? result : Py_NewRef(Py_None),
                                      exception != NULL ? exception : Py_NewRef(Py_None));
    return outcome;
}

/* Reads up to MAX_RANGES (start, end) pairs of `ranges` into `out`. */
static int parse_ranges(PyObject *ranges, Range *out, int *count)
{
    Py_ssize_t size = PySequence_Size(ranges);
    if (size < 0 || size > MAX_RANGES) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_ValueError, "at most 4 (start, end) ranges");
        }
        return -1;
    }
    for (Py_ssize_t r = 0; r < size; ++r) {
        PyObject *range = PySequence_GetItem(ranges, r);
        unsigned long long start, end;
        int parsed = range != NULL && PyArg_ParseTuple(range, "KK", &start, &end);
        Py_XDECREF(range);
        if (!parsed) {
            return -1;
        }
        out[r] = (Range){(uintptr_t)start, (uintptr_t)end};
    }
    *count = (int)size;
    return 0;
}

/* count_within([(start, end), ...]): count only allocations made with code
 * of these ranges on the stack; an empty list counts every allocation. */
static PyObject *failing_count_within(PyObject *module, PyObject *ranges)
{
    counted_range_count = 0;
    if (parse_ranges(ranges, counted_ranges, &counted_range_count) < 0) {
        return NULL;
    }
    Py_RETURN_NONE;
}

static int on_current_stack(uintptr_t code)
{
    void *frames[STACK_DEPTH];
    int depth = backtrace(frames, STACK_DEPTH);
    for (int i = 0; i < depth; ++i) {
        if (function_of(frames[i]) == code) {
            return 1;
        }
    }
    return 0;
}

/* The code that a call of the C API function `name` runs, found on the
 * first request: 0 if it was not found, -1 with an exception set for a
 * name without a probe or a probe that failed. */
static int find_code(PyObject *name, uintptr_t *code)
{
    const char *text = PyUnicode_AsUTF8(name);
    if (text == NULL) {
        return -1;
    }
    for (size_t p = 0; p < sizeof(probes) / sizeof(probes[0]); ++p) {
        if (strcmp(probes[p].name, text) != 0) {
            continue;
        }
        if (!probes[p].probed) {
            if (probes[p].call(&probes[p].code) < 0) {
                return -1;
            }
            probes[p].probed = 1;
            /* Code that is on this stack too (the evaluation loop, an
               interceptor of backtrace()) is not the function's own. */
            if (on_current_stack(probes[p].code)) {
                probes[p].code = 0;
            }
        }
        *code = probes[p].code;
        return 0;
    }
    PyErr_Format(PyExc_ValueError, "no probe finds the code of %R", name);
    return -1;
}

/* avoid([(name, ...), ...]) -> names: replaces the groups of C API
 * functions; returns the names whose code was not found. */
static PyObject *failing_avoid(PyObject *module, PyObject *groups)
{
    PyObject *sequence = PySequence_Fast(groups, "avoid() needs a sequence of groups");
    if (sequence == NULL) {
        return NULL;
    }
    PyObject *not_found = PyList_New(0);
    Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence);
    if (not_found == NULL || count > MAX_GROUPS) {
        if (not_found != NULL) {
            PyErr_SetString(PyExc_ValueError, "too many groups");
        }
        goto error;
    }
    avoid_group_count = 0;
    for (Py_ssize_t g = 0; g < count; ++g) {
        PyObject *names = PySequence_Fast(PySequence_Fast_GET_ITEM(sequence, g),
                                          "a group is a sequence of names");
        if (names == NULL) {
            goto error;
        }
        Py_ssize_t members = PySequence_Fast_GET_SIZE(names);
        if (members > MAX_MEMBERS) {
            PyErr_SetString(PyExc_ValueError, "too many functions in a group");
            Py_DECREF(names);
            goto error;
        }
        for (Py_ssize_t m = 0; m < members; ++m) {
            PyObject *name = PySequence_Fast_GET_ITEM(names, m);
            uintptr_t *code = &avoid_groups[g].code[m];
            if (find_code(name, code) < 0 || (*code == 0 && PyList_Append(not_found, name) < 0)) {
                Py_DECREF(names);
                goto error;
            }
        }
        avoid_groups[g].count = (int)members;
        Py_DECREF(names);
    }
    avoid_group_count = (int)count;
    Py_DECREF(sequence);
    return not_found;

error:
    Py_XDECREF(not_found);
    Py_DECREF(sequence);
    return NULL;
}

static PyMethodDef failing_methods[] = {
    {"arm", failing_arm, METH_O, "arm(n): fail the n-th allocation from now, once."},
    {"disarm", failing_disarm, METH_NOARGS, "disarm(): fail nothing."},
    {"fired", failing_fired, METH_NOARGS, "fired(): whether the armed failure happened."},
    {"avoided", failing_avoided, METH_NOARGS, "avoided(): failures moved past avoided code."},
    {"live_blocks", failing_live_blocks, METH_NOARGS,
     "live_blocks(): blocks handed out minus blocks taken back since the wrappers went in."},
    {"call", (PyCFunction)(void (*)(void))failing_call, METH_FASTCALL,
     "call(n, f, *args) -> (fired, result, exception)"},
    {"undecided", failing_undecided, METH_NOARGS,
     "undecided(): failures moved past code that might be avoided code."},
    {"avoid", failing_avoid, METH_O,
     "avoid(groups) -> names: C API functions whose code, all on the stack, lets an allocation "
     "through; returns the names whose code was not found."},
    {"count_within", failing_count_within, METH_O,
     "count_within(ranges): count only allocations made with this code on the stack."},
    {NULL, NULL, 0, NULL},
};

static int failing_exec(PyObject *module)
{
    if (!installed) {
        install();
    }
    return 0;
}

static PyModuleDef_Slot failing_slots[] = {
    {Py_mod_exec, failing_exec},
    {0, NULL},
};

static struct PyModuleDef failing_module = {
    PyModuleDef_HEAD_INIT,
    .m_name = "_failing_alloc",
    .m_size = 0,
    .m_methods = failing_methods,
    .m_slots = failing_slots,
};

PyMODINIT_FUNC PyInit__failing_alloc(void)
{
    return PyModuleDef_Init(&failing_module);
}
