// The loaded test project library, shared between the main thread and execution threads.
#ifndef ATE_SRC_PROJECTLIBRARY_H_
#define ATE_SRC_PROJECTLIBRARY_H_

#include <atomic>
#include <memory>

#include "Platform.h"

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

// The process-wide handle of the current library. Atomic: execution threads take it at every
// lookup while the main thread replaces it on load and unload. Empty when no library is held.
class AtomicLibraryHandle {
 public:
  std::shared_ptr<ProjectLibrary> load() const { return std::atomic_load(&current_); }
  std::shared_ptr<ProjectLibrary> exchange(std::shared_ptr<ProjectLibrary> next) {
    return std::atomic_exchange(&current_, std::move(next));
  }

 private:
  std::shared_ptr<ProjectLibrary> current_;
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

#endif  // ATE_SRC_PROJECTLIBRARY_H_
