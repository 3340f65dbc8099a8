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
 * takes groups of code address ranges: an allocation whose call stack has a
 * return address in every range of one group is let through and the
 * failure moves on to the next allocation.
 *
 * count_within() takes address ranges: when it is set, only allocations
 * made with code of those ranges on the stack count towards n (the module's
 * own code, say, apart from the import machinery around it).
 *
 * It also counts the blocks its wrappers hand out and take back, so that a
 * leak shows whichever allocator sits beneath (pymalloc or malloc).
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <execinfo.h>
#include <stdint.h>

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
static Py_ssize_t live_blocks;

#define MAX_GROUPS 8
#define MAX_RANGES 4
#define STACK_DEPTH 64

typedef struct {
    uintptr_t start, end;
} Range;

static struct {
    int count;
    Range ranges[MAX_RANGES];
} avoid_groups[MAX_GROUPS];
static int avoid_group_count;

static Range counted_ranges[MAX_RANGES];
static int counted_range_count;

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

static int must_avoid(void)
{
    if (avoid_group_count == 0) {
        return 0;
    }
    void *frames[STACK_DEPTH];
    int depth = backtrace(frames, STACK_DEPTH);
    for (int g = 0; g < avoid_group_count; ++g) {
        int all = avoid_groups[g].count > 0;
        for (int r = 0; all && r < avoid_groups[g].count; ++r) {
            all = stack_in_range(frames, depth, avoid_groups[g].ranges[r]);
        }
        if (all) {
            return 1;
        }
    }
    return 0;
}

/* True if this allocation is the one to fail. */
static int should_fail(void)
{
    if (remaining == 0) {
        return 0;
    }
    if (counted_range_count > 0 && !stack_in_any(counted_ranges, counted_range_count)) {
        return 0;
    }
    if (--remaining > 0) {
        return 0;
    }
    if (must_avoid()) {
        remaining = 1;
        ++avoided;
        return 0;
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

/* avoid([[(start, end), ...], ...]): replaces the groups of ranges. */
static PyObject *failing_avoid(PyObject *module, PyObject *groups)
{
    PyObject *sequence = PySequence_Fast(groups, "avoid() needs a sequence of groups");
    if (sequence == NULL) {
        return NULL;
    }
    Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence);
    if (count > MAX_GROUPS) {
        Py_DECREF(sequence);
        PyErr_SetString(PyExc_ValueError, "too many groups");
        return NULL;
    }
    avoid_group_count = 0;
    for (Py_ssize_t g = 0; g < count; ++g) {
        if (parse_ranges(PySequence_Fast_GET_ITEM(sequence, g), avoid_groups[g].ranges,
                         &avoid_groups[g].count) < 0) {
            Py_DECREF(sequence);
            return NULL;
        }
    }
    avoid_group_count = (int)count;
    Py_DECREF(sequence);
    Py_RETURN_NONE;
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
    {"avoid", failing_avoid, METH_O, "avoid(groups): code whose allocations must not fail."},
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
