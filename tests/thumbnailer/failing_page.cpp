// Makes a real helper fail the way a hostile page can make it fail: loading
// a page kills the process (PDFHELPER_FAILING_PAGE=kill) or never returns
// (=hang). Without the variable pages load as usual.

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <poll.h>
#include <unistd.h>

extern "C" __attribute__((visibility("default"))) void *FPDF_LoadPage(void *document, int index)
{
    const char *how = std::getenv("PDFHELPER_FAILING_PAGE");
    if (how && std::strcmp(how, "kill") == 0)
        std::raise(SIGKILL);
    if (how && std::strcmp(how, "hang") == 0) {
        // poll, which the helper's sandbox allows it; it refuses pause.
        for (;;)
            ::poll(nullptr, 0, -1);
    }
    using LoadPage = void *(*)(void *, int);
    static const auto real = reinterpret_cast<LoadPage>(dlsym(RTLD_NEXT, "FPDF_LoadPage"));
    return real(document, index);
}
