// The handler for an exception that nobody catches, linked into the shipped Windows binaries
// in place of libstdc++'s verbose one: that one demangles the exception's type name, and
// its demangler alone adds some 46 KB to every statically linked binary. This one still
// names the exception's message, then aborts as the standard handler does.
#include <cstdio>
#include <cstdlib>
#include <exception>

namespace __gnu_cxx {

void __verbose_terminate_handler() {
    // A what() that throws ends up here again: say nothing the second time.
    static bool entered = false;
    if (!entered) {
        entered = true;
        if (std::exception_ptr current = std::current_exception()) {
            std::fputs("terminate called after throwing an exception", stderr);
            try {
                std::rethrow_exception(current);
            } catch (const std::exception& e) {
                std::fputs(": ", stderr);
                std::fputs(e.what(), stderr);
            } catch (...) {
            }
            std::fputs("\n", stderr);
        } else {
            std::fputs("terminate called without an active exception\n", stderr);
        }
    }
    std::abort();
}

}  // namespace __gnu_cxx
