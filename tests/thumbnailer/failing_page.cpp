// Makes a real helper fail the way a hostile document can make it fail:
// loading a page kills the process (PDFHELPER_FAILING_PAGE=kill) or never
// returns (=hang), or loading the document kills it (=load). Without the
// variable documents and pages load as usual.

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <poll.h>
#include <unistd.h>

namespace {

bool failingAs(const char *what)
{
    const char *how = std::getenv("PDFHELPER_FAILING_PAGE");
    return how && std::strcmp(how, what) == 0;
}

} // namespace

extern "C" __attribute__((visibility("default"))) void *FPDF_LoadPage(void *document, int index)
{
    if (failingAs("kill"))
        std::raise(SIGKILL);
    if (failingAs("hang")) {
        // poll, which the helper's sandbox allows it; it refuses pause.
        for (;;)
            ::poll(nullptr, 0, -1);
    }
    using LoadPage = void *(*)(void *, int);
    static const auto real = reinterpret_cast<LoadPage>(dlsym(RTLD_NEXT, "FPDF_LoadPage"));
    return real(document, index);
}

extern "C" __attribute__((visibility("default"))) void *FPDF_LoadCustomDocument(void *access, const char *password)
{
    if (failingAs("load"))
        std::raise(SIGKILL);
    using LoadDocument = void *(*)(void *, const char *);
    static const auto real = reinterpret_cast<LoadDocument>(dlsym(RTLD_NEXT, "FPDF_LoadCustomDocument"));
    return real(access, password);
}
