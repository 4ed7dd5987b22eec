#include "platform/sim/fiber.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__)
#define FENRA_FIBER_ASM 1
#else
#include <ucontext.h>
#endif

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FENRA_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define FENRA_ASAN 1
#endif
#if FENRA_FIBER_TSAN
#define FENRA_TSAN 1
#endif

#if FENRA_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/lsan_interface.h>
#endif
#if FENRA_TSAN
#include <sanitizer/tsan_interface.h>
#endif

// What libsupc++ keeps per OS thread for exceptions being handled: the
// stack of caught exceptions and the count of uncaught ones.
namespace __cxxabiv1 {
struct __cxa_eh_globals;
extern "C" __cxa_eh_globals* __cxa_get_globals() noexcept;
}  // namespace __cxxabiv1

#if FENRA_FIBER_ASM
// Saves the callee-saved registers, the SSE control word and the x87 control
// word on the current stack, stores the stack pointer in *save and continues
// on the stack `next` (saved the same way, or prepared by PrepareStack). A
// switch costs no system call, unlike swapcontext, which saves the signal
// mask each time.
extern "C" void fenra_fiber_switch(void** save, void* next);
asm(R"(
  .text
  .globl fenra_fiber_switch
  .type fenra_fiber_switch, @function
fenra_fiber_switch:
  .cfi_startproc
  pushq %rbp
  pushq %rbx
  pushq %r12
  pushq %r13
  pushq %r14
  pushq %r15
  subq $8, %rsp
  stmxcsr (%rsp)
  fnstcw 4(%rsp)
  movq %rsp, (%rdi)
  movq %rsi, %rsp
  ldmxcsr (%rsp)
  fldcw 4(%rsp)
  addq $8, %rsp
  popq %r15
  popq %r14
  popq %r13
  popq %r12
  popq %rbx
  popq %rbp
  ret
  .cfi_endproc
  .size fenra_fiber_switch, .-fenra_fiber_switch
)");
#endif

namespace fenra::sim {
namespace {

struct EhGlobals {
  void* caught_exceptions = nullptr;
  unsigned int uncaught_exceptions = 0;
};

// The calling OS thread's; the address is looked up once per host, not at
// every switch.
EhGlobals* CurrentEh() { return reinterpret_cast<EhGlobals*>(__cxxabiv1::__cxa_get_globals()); }

thread_local Fiber* starting_fiber = nullptr;
#if FENRA_ASAN
// The context the last switch left, for the side it entered.
thread_local Fiber::Context* switching_from = nullptr;
#endif

[[noreturn]] void Die(const char* what) {
  fprintf(stderr, "fiber: %s: %s\n", what, strerror(errno));
  std::abort();
}

}  // namespace

struct Fiber::Context {
#if FENRA_FIBER_ASM
  void* sp = nullptr;
#else
  ucontext_t uc{};
#endif
  EhGlobals eh;
  // A host's: its OS thread's exception state, which the fibers it runs swap
  // their own in and out of.
  EhGlobals* thread_eh = nullptr;
  // The stack (fibers only; a host's stack is its OS thread's).
  void* mapping = nullptr;
  size_t mapping_size = 0;
  const void* stack_bottom = nullptr;
  size_t stack_size = 0;
#if FENRA_ASAN
  void* fake_stack = nullptr;
#endif
#if FENRA_TSAN
  void* tsan_fiber = nullptr;
#endif
};

namespace {

// Continues on `to`, saving the current context in `from`.
void Switch(Fiber::Context& from, Fiber::Context& to) {
#if FENRA_FIBER_ASM
  fenra_fiber_switch(&from.sp, to.sp);
#else
  if (swapcontext(&from.uc, &to.uc) != 0) Die("swapcontext");
#endif
}

// Every switch leaves `me` for `to` this way. The exception state is handed
// over on the way out: the leaving context keeps the OS thread's
// (`thread_eh`), the entered one's is put in its place, because whoever
// resumes a context may be another than the one it left for. A finished
// fiber keeps no fake stack.
void Leave(Fiber::Context& me, Fiber::Context& to, EhGlobals& thread_eh, bool keep_fake_stack) {
  me.eh = thread_eh;
  thread_eh = to.eh;
#if FENRA_ASAN
  switching_from = &me;
  __sanitizer_start_switch_fiber(keep_fake_stack ? &me.fake_stack : nullptr, to.stack_bottom, to.stack_size);
#else
  (void)keep_fake_stack;
#endif
#if FENRA_TSAN
  __tsan_switch_to_fiber(to.tsan_fiber, 0);
#endif
  Switch(me, to);
}

#if FENRA_ASAN
// Ends a switch on the entered side. ASan tells the bounds of the stack that
// was left; a host's (its OS thread's) become known to us only this way. A
// fiber's are the ones it was entered with.
void FinishSwitch(void* fake_stack) {
  const void* bottom = nullptr;
  size_t size = 0;
  __sanitizer_finish_switch_fiber(fake_stack, &bottom, &size);
  Fiber::Context& from = *switching_from;
  if (from.mapping == nullptr) {
    from.stack_bottom = bottom;
    from.stack_size = size;
  }
}
#endif

}  // namespace

Fiber::Host::Host() : context_(std::make_unique<Context>()) {
  context_->thread_eh = CurrentEh();
#if FENRA_TSAN
  context_->tsan_fiber = __tsan_get_current_fiber();
#endif
}

Fiber::Host::~Host() = default;

Fiber::Fiber(std::function<void()> body, size_t requested_stack_size)
    : body_(std::move(body)), context_(std::make_unique<Context>()) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t stack_size = (requested_stack_size + page - 1) / page * page;
  Context& c = *context_;
  c.mapping_size = stack_size + page;
  c.mapping = mmap(nullptr, c.mapping_size, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
  if (c.mapping == MAP_FAILED) Die("cannot map a stack");
  // The lowest page is a guard: an overflow faults instead of corrupting.
  if (mprotect(c.mapping, page, PROT_NONE) != 0) Die("cannot protect a stack guard");
  c.stack_bottom = static_cast<char*>(c.mapping) + page;
  c.stack_size = stack_size;
#if FENRA_FIBER_ASM
  // The first switch "returns" into Entry with the stack aligned as after a
  // call: a zero return address above it ends every backtrace there.
  auto* top = reinterpret_cast<uint64_t*>(static_cast<char*>(c.mapping) + c.mapping_size);
  uint64_t* sp = top - 9;
  sp[0] = 0x1F80 | (uint64_t{0x037F} << 32);  // default MXCSR, x87 control word
  for (int i = 1; i <= 6; ++i) sp[i] = 0;     // r15, r14, r13, r12, rbx, rbp
  sp[7] = reinterpret_cast<uint64_t>(&Fiber::Entry);
  sp[8] = 0;
  c.sp = sp;
#else
  if (getcontext(&c.uc) != 0) Die("getcontext");
  c.uc.uc_stack.ss_sp = const_cast<void*>(c.stack_bottom);
  c.uc.uc_stack.ss_size = stack_size;
  c.uc.uc_link = nullptr;
  makecontext(&c.uc, &Fiber::Entry, 0);
#endif
#if FENRA_TSAN
  c.tsan_fiber = __tsan_create_fiber(0);
#endif
}

Fiber::~Fiber() {
#if FENRA_TSAN
  __tsan_destroy_fiber(context_->tsan_fiber);
#endif
#if FENRA_ASAN
  if (abandoned_) {
    // Kept mapped and scanned for pointers: see Abandon().
    __lsan_register_root_region(context_->stack_bottom, context_->stack_size);
    return;
  }
#endif
  munmap(context_->mapping, context_->mapping_size);
}

void Fiber::Abandon() { abandoned_ = true; }

void Fiber::Resume(Host& host) {
  host_ = &host;
  starting_fiber = this;
  Context& me = *host.context_;
  Leave(me, *context_, *me.thread_eh, true);
#if FENRA_ASAN
  __sanitizer_finish_switch_fiber(me.fake_stack, nullptr, nullptr);
#endif
}

void Fiber::Suspend() {
  Context& to = *host_->context_;
  Leave(*context_, to, *to.thread_eh, !finished_);
  Resumed();
}

void Fiber::SwitchTo(Fiber& next) {
  next.host_ = host_;
  starting_fiber = &next;
  Leave(*context_, *next.context_, *host_->context_->thread_eh, true);
  Resumed();
}

void Fiber::Resumed() {
  // Resumed by a host or by another fiber, perhaps of another host: whoever
  // it was swapped the exception state and set host_.
#if FENRA_ASAN
  FinishSwitch(context_->fake_stack);
#endif
}

void Fiber::Entry() {
  Fiber* self = starting_fiber;
#if FENRA_ASAN
  FinishSwitch(nullptr);
#endif
  self->body_();
  self->body_ = nullptr;
  self->finished_ = true;
  self->Suspend();
  // A finished fiber is never resumed.
  std::abort();
}

}  // namespace fenra::sim
