// When the bodies run without the interpreter lock, and the results they write in place.
//
// A body that reads only `bytes` arguments (immutable, kept alive by the caller for the
// whole call) and writes only into memory that no Python code can see yet needs no lock:
// the layer converts the arguments and creates the result object under the lock, lets go
// of it while the body works, and takes it back before it touches a Python object again.
// Other Python threads run meanwhile, so a pool of threads converting many files keeps
// every core busy. A body that writes into a `bytearray` runs unlocked only while the
// layer holds a buffer export of it, which makes any resize fail with BufferError.
//
// Letting go of the lock and taking it back costs about 25 ns when no other thread wants
// it (measured around md5_digest), so a body lets it go once its work takes about 2.5 us,
// where that cost stays below 1%. Work is counted in bytes touched (bytes read plus bytes
// reserved for the result), and the bodies differ in speed, hence one threshold per kind:
// the search-tree encoders take 25 to 100 ns a byte, the decoders and the digest about
// 1 ns, the in-place writers run at memory speed. When another thread is busy running
// Python code, the taker may have to wait for that thread's switch interval before it
// gets the lock back, as with every extension that releases it; short calls never pay it.
#pragma once

#include "python/args.hpp"

#include <cassert>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <type_traits>
#include <utility>

namespace native_accel::python {

// The least work, in bytes touched, for which each kind of body lets go of the lock.
inline constexpr std::size_t kUnlockEncoder = 512;
inline constexpr std::size_t kUnlockStream = 4 * 1024;
inline constexpr std::size_t kUnlockInPlace = 32 * 1024;

// Holds the interpreter lock released for its lifetime when `release` is true; a body that
// throws still gets the lock back before the exception reaches the layer.
class ReleasedLock {
public:
    explicit ReleasedLock(bool release) noexcept
        : saved_(release ? PyEval_SaveThread() : nullptr) {}
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;
    ~ReleasedLock() {
        if (saved_ != nullptr) PyEval_RestoreThread(saved_);
    }

private:
    PyThreadState* saved_;
};

// Runs fn() on `work_bytes` bytes of input and output, without the lock from `unlock_at` on.
template <class Fn>
decltype(auto) run_unlocked_if_large(std::size_t work_bytes, std::size_t unlock_at, Fn&& fn) {
    ReleasedLock released(work_bytes >= unlock_at);
    return std::forward<Fn>(fn)();
}

// In-place writers that run without the interpreter lock still never overlap on one
// buffer: each takes the lock of its object's stripe first. Calls on different buffers run
// in parallel (two buffers share a stripe only by chance, and then merely wait for each
// other); calls on the same buffer run one after the other, as they did under the
// interpreter lock, so that two XORs of one buffer still compose.
std::mutex& writer_lock_for(const PyObject* object) noexcept;

// The object's critical section for one scope, on a free-threaded build; a build with the
// interpreter lock needs none, as holding that lock keeps every other thread's Python code
// out. Unlike the Py_BEGIN_CRITICAL_SECTION macros it also ends when an exception leaves
// the scope.
class CriticalSection {
public:
    explicit CriticalSection([[maybe_unused]] PyObject* object) noexcept {
#ifdef Py_GIL_DISABLED
        PyCriticalSection_Begin(&section_, object);
#endif
    }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    ~CriticalSection() {
#ifdef Py_GIL_DISABLED
        PyCriticalSection_End(&section_);
#endif
    }

private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

// One buffer export of a bytearray's own storage, taken and given back through bytearray's
// own buffer slots. PyObject_GetBuffer calls the slots of the object's type, and for a
// subclass that defines __buffer__ in Python those run that method: the write would go into
// whatever memory it hands back, and the object's export count, which is what refuses a
// resize, would stay as it was. The base slot raises that count and describes the storage
// itself, at the object's own size whatever a subclass's __len__ says. The view's reference
// to the object is taken by the slot and dropped at the end, as PyObject_GetBuffer and
// PyBuffer_Release do it.
//
// take() and release() run with the object's critical section held: 3.13t's bytearray
// updates its export count without a lock, so two threads taking or giving back exports at
// the same moment could lose an update. A count left too high makes the object unresizable
// for good (and its deallocation complain of exported buffers); one left too low lets a
// resize move the storage under a writer.
class StorageExport {
public:
    explicit StorageExport(PyObject* object) noexcept : object_(object) {
        assert(PyByteArray_Check(object));
    }
    StorageExport(const StorageExport&) = delete;
    StorageExport& operator=(const StorageExport&) = delete;
    // An export still held here is one a body's exception skipped: it is given back in
    // the critical section (the caller's lock and critical section are already back).
    ~StorageExport() {
        if (exported_) {
            const CriticalSection locked(object_);
            release();
        }
        Py_CLEAR(view_.obj);
    }

    // Returns false with the exception set when the slot refuses the export.
    bool take() noexcept {
        assert(!exported_ && view_.obj == nullptr);
        exported_ = PyByteArray_Type.tp_as_buffer->bf_getbuffer(object_, &view_,
                                                                PyBUF_WRITABLE) == 0;
        assert(!exported_ || (view_.obj == object_ && view_.len == PyByteArray_GET_SIZE(object_)));
        return exported_;
    }
    void release() noexcept {
        assert(exported_);
        if (const releasebufferproc give_back = PyByteArray_Type.tp_as_buffer->bf_releasebuffer)
            give_back(view_.obj, &view_);
        exported_ = false;
    }

    std::span<std::uint8_t> storage() const noexcept {
        assert(exported_);
        return {static_cast<std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    PyObject* object_;
    Py_buffer view_{};
    bool exported_ = false;
};

// A bytearray's storage held fixed for one write: the export makes every resize, from any
// thread, fail with BufferError until it is released, so the pointer and the size read
// here stay valid with or without the lock. A small write keeps the interpreter lock and,
// on a free-threaded build, the object's critical section from taking the export to giving
// it back, so that it is not interleaved with the bytearray's own methods where those lock
// the object (from 3.14 on). A large one takes the export in the critical section, lets go
// of the interpreter lock and of the critical section while it writes under the object's
// writer lock, and takes the critical section again to give the export back. Returns false
// with the exception set when the export cannot be had, before anything is written.
//
// Why the three locks cannot deadlock: a writer lock is waited for only by a thread that
// has detached from the interpreter (PyEval_SaveThread lets go of the interpreter lock and
// of every critical section), and its holder runs nothing but the body and lets it go
// before it attaches again. So no thread waits for the interpreter lock or a critical
// section while it holds a writer lock, and none waits for a writer lock while it holds
// either of them: the waits can form no cycle.
template <class Fn>
bool with_exclusive_storage(const WritableBytes& bytes, Fn&& fn) {
    PyObject* object = bytes.owner.get();
    StorageExport held(object);
    {
        const CriticalSection locked(object);
        if (!held.take()) return false;
        if (held.storage().size() < kUnlockInPlace) {
            fn(held.storage());
            held.release();
            return true;
        }
    }
    {
        // Released before the writer lock is waited for, so that a writer blocked here
        // never holds up other Python threads; the writer lock goes first on the way out.
        ReleasedLock released(true);
        const std::scoped_lock writer(writer_lock_for(object));
        fn(held.storage());
    }
    const CriticalSection locked(object);
    held.release();
    return true;
}

// What a body writing into a result returns: the number of bytes it wrote, or its error.
template <class R>
concept FillResult = std::same_as<R, std::size_t> || std::same_as<R, Outcome<std::size_t>>;

// A bytes result built in place: an object of `capacity` bytes is created first, the body
// writes straight into its storage (without the lock when capacity and input together
// reach unlock_at) and returns how many bytes it wrote, and the object is shrunk once to that
// length. There is one buffer of the result's size, never a work buffer and a copy. A
// body error drops the object and raises ValueError.
template <class Fill>
PyObject* bytes_built_in_place(std::size_t capacity, std::size_t input_bytes,
                               std::size_t unlock_at, Fill&& fill) {
    using Result = std::invoke_result_t<Fill&, std::span<std::uint8_t>>;
    static_assert(FillResult<Result>, "a fill returns the bytes it wrote, or an Outcome of them");
    if (capacity > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    PyObject* result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
    if (result == nullptr) return nullptr;
    // An empty result is the interpreter's shared empty object: the fill gets an empty span
    // and writes nothing into it.
    const std::span<std::uint8_t> storage{
        reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(result)), capacity};
    std::size_t written = 0;
    {
        OwnedRef guard(result);  // dropped if the body throws
        Result filled = run_unlocked_if_large(capacity + input_bytes, unlock_at,
                                              [&] { return fill(storage); });
        if constexpr (std::same_as<Result, std::size_t>) {
            written = filled;
        } else {
            if (!filled.ok()) return body_error(filled.error());
            written = filled.value();
        }
        result = guard.release();
    }
    // _PyBytes_Resize is private API, but the only way on 3.13 to shrink a bytes object
    // built in place; 3.14 and 3.15 still declare it. Once 3.13 support ends, move to the
    // public writer API that 3.15 adds for exactly this: PyBytesWriter_Create(capacity),
    // the body writing through PyBytesWriter_GetData(writer), then
    // PyBytesWriter_FinishWithSize(writer, written) for the result, or
    // PyBytesWriter_Discard(writer) on a body error.
    if (written < capacity && _PyBytes_Resize(&result, static_cast<Py_ssize_t>(written)) < 0) {
        return nullptr;  // the object is gone and MemoryError is set
    }
    return result;
}

// The same, for a capacity that the body may refuse before anything is allocated.
template <class Fill>
PyObject* bytes_built_in_place(const Outcome<std::size_t>& capacity, std::size_t input_bytes,
                               std::size_t unlock_at, Fill&& fill) {
    if (!capacity.ok()) return body_error(capacity.error());
    return bytes_built_in_place(capacity.value(), input_bytes, unlock_at,
                                std::forward<Fill>(fill));
}

}  // namespace native_accel::python
