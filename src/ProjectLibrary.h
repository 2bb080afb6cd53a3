// The loaded test project library, shared between the main thread and execution threads.
#ifndef ATE_SRC_PROJECTLIBRARY_H_
#define ATE_SRC_PROJECTLIBRARY_H_

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "utils/Platform.h"

// One loaded library. Whoever is about to call into it holds a shared_ptr to it, so it stays
// loaded until the last such caller has returned. It is released then only if unload asked for
// it; a library that a later load merely replaced stays loaded for the life of the process.
class ProjectLibrary {
 public:
  explicit ProjectLibrary(platform::LibraryHandle handle) : handle_(handle) {}
  ~ProjectLibrary() {
    if (release_.load()) platform::freeLibrary(handle_);
  }
  ProjectLibrary(const ProjectLibrary&) = delete;
  ProjectLibrary& operator=(const ProjectLibrary&) = delete;

  void* find(const char* name) const { return platform::findSymbol(handle_, name); }

  // Release the library once nobody holds it any more.
  void releaseWhenUnused() { release_.store(true); }

 private:
  const platform::LibraryHandle handle_;
  std::atomic<bool> release_{false};
};

// The process-wide handle of the current library. Atomic: execution threads look at it at every
// lookup (its address) and take it when it changed, while the main thread replaces it on load
// and unload. Empty when no library is held.
class AtomicLibraryHandle {
 public:
  std::shared_ptr<ProjectLibrary> load() const { return std::atomic_load(&current_); }

  // The address of the library held at this moment, without taking a share of it: enough to
  // tell whether a library someone already holds is still the current one. Never dereferenced.
  const ProjectLibrary* address() const { return address_.load(); }

  std::shared_ptr<ProjectLibrary> exchange(std::shared_ptr<ProjectLibrary> next) {
    ProjectLibrary* const nextAddress = next.get();
    std::shared_ptr<ProjectLibrary> previous = std::atomic_exchange(&current_, std::move(next));
    address_.store(nextAddress);
    return previous;
  }

 private:
  std::shared_ptr<ProjectLibrary> current_;
  std::atomic<ProjectLibrary*> address_{nullptr};
};

// A function found in a library, with the library held for as long as this object lives: a
// caller keeps it until the call has returned.
template <typename FunctionPointer>
struct LibraryFunction {
  std::shared_ptr<ProjectLibrary> library;
  FunctionPointer function = nullptr;

  explicit operator bool() const { return function != nullptr; }
};

// Looks name up in the library that handle holds at this moment; nothing found without one.
template <typename FunctionPointer>
LibraryFunction<FunctionPointer> findFunction(const AtomicLibraryHandle& handle, const char* name) {
  LibraryFunction<FunctionPointer> found;
  found.library = handle.load();
  if (found.library) {
    found.function = reinterpret_cast<FunctionPointer>(found.library->find(name));
  }
  if (!found.function) found.library.reset();
  return found;
}

// The lookups of one execution thread. Each find looks its name up in the library that the
// handle holds at that moment, like findFunction, but remembers what it found there: as long as
// the handle still holds that same library object, a name is looked up once. The library found
// stays held from a find until a later find sees the handle hold another library or none, or
// until release(): so it is never released while the thread is inside it, nor between a lookup
// and the call. A held library has a fixed address, so an equal address means the same library.
class LibraryLookups {
 public:
  // slots: how many names the caller will look up; it numbers them from 0 and always passes
  // the same name with the same slot.
  LibraryLookups(const AtomicLibraryHandle& handle, std::size_t slots)
      : handle_(handle), found_(slots), known_(slots, false) {}

  // The function exported under name in the current library; null when there is no library or
  // it exports no such name. A name with a NUL byte can't be exported and is never looked up
  // (as a C string it would find another).
  template <typename FunctionPointer>
  FunctionPointer find(std::size_t slot, const std::string& name) {
    if (handle_.address() != library_.get()) {
      library_ = handle_.load();
      known_.assign(known_.size(), false);
    }
    if (!library_) return nullptr;
    if (!known_[slot]) {
      found_[slot] = name.find('\0') == std::string::npos ? library_->find(name.c_str()) : nullptr;
      known_[slot] = true;
    }
    return reinterpret_cast<FunctionPointer>(found_[slot]);
  }

  // Lets go of the library held, which is released now if unload asked for it and nobody else
  // holds it.
  void release() {
    library_.reset();
    known_.assign(known_.size(), false);
  }

 private:
  const AtomicLibraryHandle& handle_;
  std::shared_ptr<ProjectLibrary> library_;
  std::vector<void*> found_;
  std::vector<bool> known_;
};

#endif  // ATE_SRC_PROJECTLIBRARY_H_
