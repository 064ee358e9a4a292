// The bar's replacements for libstdc++'s exception-throwing helpers (std::__throw_*), which
// its containers and threads call on failure. The bar catches no exception (its code is
// compiled without exceptions, so a catch there does not even compile): any such throw ends
// in std::terminate. Ending at once with the same message is the same outcome, and keeps
// out of VORNBAR.exe the standard exception classes and the copy-on-write strings they
// carry, some 60 KB. Linked into VORNBAR.exe only (see vorn_ship_small).
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <system_error>

namespace {

[[noreturn]] void Fatal(const char* what) {
    std::fputs("VORNBAR: fatal: ", stderr);
    std::fputs(what ? what : "error", stderr);
    std::fputs("\n", stderr);
    std::abort();
}

}  // namespace

namespace std {

void __throw_bad_alloc() {
    Fatal("out of memory");
}
void __throw_bad_array_new_length() {
    Fatal("bad array new length");
}
void __throw_logic_error(const char* what) {
    Fatal(what);
}
void __throw_invalid_argument(const char* what) {
    Fatal(what);
}
void __throw_length_error(const char* what) {
    Fatal(what);
}
void __throw_out_of_range(const char* what) {
    Fatal(what);
}
void __throw_out_of_range_fmt(const char* what, ...) {
    Fatal(what);
}
void __throw_system_error(int) {
    Fatal("system error");
}

}  // namespace std
