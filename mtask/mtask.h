// The multitasking runtime: tasks on threads, barrier events, locks, task waiting
// and process times.
//
// Every operation passes its arguments by reference, as the solver and the
// benchmark expect: a task receives the caller's own variables, never copies.
// Tasks, events and locks are named by integer handles 1 … 64 (a slot of a static
// table); 0 names nothing and is what a creation yields when its table is full.
// Every operation is safe for any handle: one that is 0, outside 1 … 64 or no
// longer in use does nothing.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>
#include <utility>

namespace mtask {

/// Slots in each of the task, event and lock tables.
inline constexpr int maxslots = 64;
/// Largest number of arguments a dispatched routine may take.
inline constexpr int maxargs = 52;

// ---------------------------------------------------------------- processors

/// n ← the number of processors configured on the machine.
void getcpus(int& n);

/// Shuts the runtime down: destroys the module-wide mutexes that were started.
void mtaskdone();

// ------------------------------------------------------------------ dispatch

/// Type-erased address of a dispatched routine, as the task record keeps it.
using routine_address = void (*)();
/// Calls a routine of one particular signature with the addresses of its arguments.
using invoker = void (*)(routine_address routine, void* const* args);

namespace detail {

/// Takes a free task slot, fills its record and starts its thread (dispatch.cpp).
void start_task(int& handle, routine_address routine, invoker call, int nargs, void* const* args);

/// The address a task record keeps for one argument: for a reference parameter,
/// the address of the caller's variable; for a pointer parameter (an array), the
/// pointer itself, which is the address of the array's first element.
template <class P, class A> void* address_of(A& arg) {
  if constexpr (std::is_lvalue_reference_v<P>) {
    return const_cast<void*>(static_cast<const volatile void*>(std::addressof(arg)));
  } else {
    return const_cast<void*>(static_cast<const volatile void*>(static_cast<P>(arg)));
  }
}

/// The argument a routine receives back from a recorded address.
template <class P> P argument(void* address) {
  if constexpr (std::is_lvalue_reference_v<P>) {
    return *static_cast<std::remove_reference_t<P>*>(address);
  } else {
    return static_cast<P>(address);
  }
}

/// A caller's argument of type A may be recorded for parameter P when a reference
/// parameter binds to the caller's variable itself (no temporary, no const
/// dropped) and a pointer parameter receives the caller's array or pointer.
template <class P, class A>
inline constexpr bool binds =
    std::is_lvalue_reference_v<P>
        ? std::is_convertible_v<std::remove_reference_t<A>*, std::remove_reference_t<P>*>
        : std::is_pointer_v<P> && std::is_convertible_v<A&, P>;

template <class R, class... P, std::size_t... I>
void call_with(R (*routine)(P...), void* const* args, std::index_sequence<I...>) {
  routine(argument<P>(args[I])...);
}

}  // namespace detail

/// Worker: calls a routine of signature R(P...) with the recorded addresses of its
/// arguments, passing every reference on unchanged; a result is ignored.
template <class R, class... P> void pworker(routine_address routine, void* const* args) {
  detail::call_with(reinterpret_cast<R (*)(P...)>(routine), args, std::index_sequence_for<P...>{});
}

/// Starts routine(args…) as a task on a new thread. handle receives the task's
/// handle, or 0 when no task was started (table full, or no thread could be
/// created). Every parameter of the routine is an lvalue reference (the task
/// works on the caller's variable) or a pointer (the caller's array); the caller
/// keeps each argument alive until it has waited for the task.
template <class R, class... P, class... A>
  requires(sizeof...(P) == sizeof...(A))
void dispatch(int& handle, R (*routine)(P...), A&... args) {
  static_assert(sizeof...(P) <= maxargs, "a dispatched routine takes at most 52 arguments");
  static_assert((... && (std::is_lvalue_reference_v<P> || std::is_pointer_v<P>)),
                "dispatched routines take every argument by reference or as an array");
  static_assert((... && detail::binds<P, A>),
                "an argument does not bind to the routine's parameter by reference");
  void* addresses[sizeof...(P) > 0 ? sizeof...(P) : 1] = {detail::address_of<P>(args)...};
  detail::start_task(handle, reinterpret_cast<routine_address>(routine), &pworker<R, P...>,
                     int(sizeof...(P)), addresses);
}

// dispatch_0 … dispatch_52: the same operation under the names that fix the
// argument count.
#define MTASK_DISPATCH_N(N)                                                        \
  template <class R, class... P, class... A>                                       \
    requires(sizeof...(P) == (N) && sizeof...(A) == (N))                           \
  inline void dispatch_##N(int& handle, R (*routine)(P...), A&... args) {          \
    dispatch(handle, routine, args...);                                            \
  }
MTASK_DISPATCH_N(0)  MTASK_DISPATCH_N(1)  MTASK_DISPATCH_N(2)  MTASK_DISPATCH_N(3)
MTASK_DISPATCH_N(4)  MTASK_DISPATCH_N(5)  MTASK_DISPATCH_N(6)  MTASK_DISPATCH_N(7)
MTASK_DISPATCH_N(8)  MTASK_DISPATCH_N(9)  MTASK_DISPATCH_N(10) MTASK_DISPATCH_N(11)
MTASK_DISPATCH_N(12) MTASK_DISPATCH_N(13) MTASK_DISPATCH_N(14) MTASK_DISPATCH_N(15)
MTASK_DISPATCH_N(16) MTASK_DISPATCH_N(17) MTASK_DISPATCH_N(18) MTASK_DISPATCH_N(19)
MTASK_DISPATCH_N(20) MTASK_DISPATCH_N(21) MTASK_DISPATCH_N(22) MTASK_DISPATCH_N(23)
MTASK_DISPATCH_N(24) MTASK_DISPATCH_N(25) MTASK_DISPATCH_N(26) MTASK_DISPATCH_N(27)
MTASK_DISPATCH_N(28) MTASK_DISPATCH_N(29) MTASK_DISPATCH_N(30) MTASK_DISPATCH_N(31)
MTASK_DISPATCH_N(32) MTASK_DISPATCH_N(33) MTASK_DISPATCH_N(34) MTASK_DISPATCH_N(35)
MTASK_DISPATCH_N(36) MTASK_DISPATCH_N(37) MTASK_DISPATCH_N(38) MTASK_DISPATCH_N(39)
MTASK_DISPATCH_N(40) MTASK_DISPATCH_N(41) MTASK_DISPATCH_N(42) MTASK_DISPATCH_N(43)
MTASK_DISPATCH_N(44) MTASK_DISPATCH_N(45) MTASK_DISPATCH_N(46) MTASK_DISPATCH_N(47)
MTASK_DISPATCH_N(48) MTASK_DISPATCH_N(49) MTASK_DISPATCH_N(50) MTASK_DISPATCH_N(51)
MTASK_DISPATCH_N(52)
#undef MTASK_DISPATCH_N

// --------------------------------------------------------- waiting for tasks

void waitfortask(const int& task);
void terminatetask(const int& task);
void waitforandterminatetask(const int& task);
void waitforalltasks();
void terminatealltasks();
void waitforandterminatealltasks();

// -------------------------------------------------------------------- events

void createparallelevent(int& event);
void initializeparallelevent(const int& event, const int& n);
void postparallelevent(const int& event);
void waitforparallelevent(const int& event);
void ifcompleteparallelevent(const int& event, int& flag);
void completeparallelevent(const int& event);
void deleteparallelevent(const int& event);

// --------------------------------------------------------------------- locks

void createparallellock(int& lock);
void lockonparallellock(const int& lock);
void unlockparallellock(const int& lock);
void deleteparallellock(const int& lock);

// ------------------------------------------------------------- process times

/// Marks the start of a measured interval.
void collectusertimes();
/// Elapsed, user-mode, kernel-mode and total processor seconds since the mark.
void getusertimes(float& elapsed, float& user, float& kernel, float& total);
/// The value of a 32-bit count read as unsigned (0 … 4294967295).
double unsignedi4(const int& count);

}  // namespace mtask
