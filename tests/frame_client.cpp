// A test build of frame helpers, for the suite. Record dicts: a FixedKeysDict
// of three keys made from given values, built twice by the tests, as the
// modules are (dicts filled in place where the interpreter's layout is known)
// and with KORVANE_DICTS_BY_KEY (key by key), so that both paths meet failing
// and container values in every build. Lists made from references. And, on
// the free-threaded build, a litmus test of read sections and grace periods.
#include <pthread.h>

#include <atomic>

#include "kv/dicts.hpp"
#include "kv/sync.hpp"

#define CLIENT_STR(x) #x
#define CLIENT_NAME_STR(x) CLIENT_STR(x)
#define CLIENT_INIT(x) CLIENT_CAT(PyInit_, x)
#define CLIENT_CAT(a, b) a##b

namespace {

kv::Name keys[] = {kv::Name{"first"}, kv::Name{"second"}, kv::Name{"third"}};
kv::FixedKeysDict<3> record;

// make(first, second, third, error): the record of the three values, where
// Ellipsis stands for a value whose making failed with `error`, as a
// statistics read that stops at its first failure leaves it.
PyObject* make(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4) {
    PyErr_SetString(PyExc_TypeError, "make() takes 4 arguments");
    return nullptr;
  }
  PyObject* values[3] = {};
  for (int i = 0; i < 3; ++i) {
    if (args[i] != Py_Ellipsis) {
      values[i] = Py_NewRef(args[i]);
    } else if (!PyErr_Occurred()) {
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(args[3])), args[3]);
    }
  }
  return record.make(values);
}

// new_list(*items): kv::new_list given a new reference to each item.
PyObject* new_list(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  PyObject* items[8];
  if (nargs > 8) {
    PyErr_SetString(PyExc_TypeError, "new_list() takes at most 8 items");
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) items[i] = Py_NewRef(args[i]);
  return kv::new_list(items, nargs);
}

#ifdef Py_GIL_DISABLED
// The store-buffering race a grace period must exclude. A writer unlinks
// version k (publishes k + 1), waits for a grace period, then declares k
// reclaimed; a reader inside a section reads the current version and, still
// inside, looks whether the version it read has been reclaimed. Each side
// stores, then loads what the other stored: without a full fence on both
// sides (entering a section, starting a grace period), the processor may
// let each load pass its own store, and the writer then misses a reader that
// holds what it reclaims. `fenced` false runs the same rounds with plain
// stores and loads in place of the section and the grace period: that the
// race shows there says the harness can see it on this machine.
struct Litmus {
  bool fenced;
  long rounds;
  std::atomic<long> arrived{0};   // both threads arrive at each round's start
  std::atomic<long> current{0};   // the version readers see
  std::atomic<long> reclaimed{-1};
  std::atomic<uint64_t> slot{0};  // the reader's section flag (unfenced rounds)
  long violations = 0;
};

// Waits until both threads have reached round k, then a few pauses that
// differ from round to round, so that the two sides meet at every offset.
void start_round(Litmus* l, long k, long skew) {
  l->arrived.fetch_add(1, std::memory_order_acq_rel);
  while (l->arrived.load(std::memory_order_acquire) < 2 * k) {
  }
  for (long i = (k * skew) % 40; i > 0; --i) kv::detail::cpu_relax();
}

void* litmus_reader(void* arg) {
  auto* l = static_cast<Litmus*>(arg);
  for (long k = 1; k <= l->rounds; ++k) {
    start_round(l, k, 7);
    auto look = [&] {
      long seen = l->current.load(std::memory_order_relaxed);
      for (int spin = 0; spin < 200; ++spin) {
        if (l->reclaimed.load(std::memory_order_acquire) >= seen) {
          ++l->violations;
          break;
        }
      }
    };
    if (l->fenced) {
      kv::ReadSection section;
      look();
    } else {
      l->slot.store(1, std::memory_order_relaxed);
      look();
      l->slot.store(0, std::memory_order_release);
    }
  }
  return nullptr;
}

void* litmus_writer(void* arg) {
  auto* l = static_cast<Litmus*>(arg);
  for (long k = 1; k <= l->rounds; ++k) {
    start_round(l, k, 13);
    long old = l->current.load(std::memory_order_relaxed);
    l->current.store(old + 1, std::memory_order_relaxed);
    if (l->fenced) {
      kv::synchronize();
    } else {
      while (l->slot.load(std::memory_order_acquire) != 0) {
      }
    }
    l->reclaimed.store(old, std::memory_order_release);
  }
  return nullptr;
}

// litmus(rounds, fenced): the rounds in which a reader saw what the writer
// had already reclaimed.
PyObject* litmus(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "litmus() takes 2 arguments");
    return nullptr;
  }
  Litmus l;
  l.rounds = PyLong_AsLong(args[0]);
  l.fenced = PyObject_IsTrue(args[1]) == 1;
  if (l.rounds < 0 || PyErr_Occurred()) return nullptr;
  pthread_t reader, writer;
  Py_BEGIN_ALLOW_THREADS
  pthread_create(&reader, nullptr, litmus_reader, &l);
  pthread_create(&writer, nullptr, litmus_writer, &l);
  pthread_join(reader, nullptr);
  pthread_join(writer, nullptr);
  Py_END_ALLOW_THREADS
  return PyLong_FromLong(l.violations);
}
#endif

PyMethodDef methods[] = {
    {"make", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(make)), METH_FASTCALL, nullptr},
    {"new_list", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(new_list)), METH_FASTCALL, nullptr},
#ifdef Py_GIL_DISABLED
    {"litmus", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(litmus)), METH_FASTCALL, nullptr},
#endif
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, CLIENT_NAME_STR(CLIENT_NAME), nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC CLIENT_INIT(CLIENT_NAME)(void) {
  if (!kv::Name::intern_all() || !record.init(keys)) return nullptr;
  PyObject* m = PyModule_Create(&module_def);
  if (m != nullptr && PyModule_AddObjectRef(m, "direct", record.direct() ? Py_True : Py_False) < 0) Py_CLEAR(m);
  return m;
}
