// Block literals built in C++ by the published blocks ABI (isa, flags, invoke, descriptor
// with copy and dispose helpers), so that libBlocksRuntime's _Block_copy and
// _Block_release work on them as on compiler-made blocks.
//
// A StackBlock lives where it is declared, like a block literal on the stack; the
// runtime's _Block_copy makes a heap copy that owns a copy of the callable and destroys
// it when the last _Block_release drops it. Invoking a block is as thread-safe as the
// callable it holds.
#pragma once

#include <new>
#include <type_traits>
#include <utility>

extern "C" {
void* _Block_copy(const void* block);
void _Block_release(const void* block);
extern void* _NSConcreteStackBlock[32];
}

namespace blocks {

struct Descriptor {
  unsigned long reserved;
  unsigned long size;
  void (*copy)(void* dst, void* src);
  void (*dispose)(void* block);
};

struct Layout {
  void* isa;
  int flags;
  int reserved;
  void (*invoke)();
  const Descriptor* descriptor;
};

inline constexpr int kHasCopyDispose = 1 << 25;
inline constexpr int kHasCxxHelpers = 1 << 26;

template <class Sig, class F>
class StackBlock;

template <class R, class... A, class F>
class StackBlock<R(A...), F> {
 public:
  explicit StackBlock(F fn)
      : header_{&_NSConcreteStackBlock, kHasCopyDispose | kHasCxxHelpers, 0,
                reinterpret_cast<void (*)()>(&StackBlock::invoke), &kDescriptor},
        fn_(std::move(fn)) {}
  StackBlock(const StackBlock&) = delete;
  StackBlock& operator=(const StackBlock&) = delete;

  // The block as the platform passes it.
  void* get() { return this; }

 private:
  static R invoke(void* self, A... args) {
    return static_cast<StackBlock*>(self)->fn_(std::forward<A>(args)...);
  }
  // The runtime has already copied the bytes of src to dst; the callable is then copied
  // properly over its own bytes.
  static void copy(void* dst, void* src) {
    ::new (static_cast<void*>(&static_cast<StackBlock*>(dst)->fn_))
        F(static_cast<StackBlock*>(src)->fn_);
  }
  static void dispose(void* block) { static_cast<StackBlock*>(block)->fn_.~F(); }

  static constexpr Descriptor kDescriptor{0, sizeof(StackBlock<R(A...), F>), &StackBlock::copy,
                                          &StackBlock::dispose};

  Layout header_;
  F fn_;
};

// Makes a stack block of signature Sig around `fn`.
template <class Sig, class F>
StackBlock<Sig, std::decay_t<F>> makeBlock(F&& fn) {
  return StackBlock<Sig, std::decay_t<F>>(std::forward<F>(fn));
}

// Calls a block of signature R(A...).
template <class R, class... A>
R invoke(void* block, A... args) {
  auto* layout = static_cast<Layout*>(block);
  return reinterpret_cast<R (*)(void*, A...)>(layout->invoke)(block, args...);
}

}  // namespace blocks
