#include "printhost/plugin_module.h"
#include "standin/host/print_job.h"

namespace standin {

std::string DefaultModulePath() {
#ifdef _WIN32
    // The DLL sits beside the program that loads it.
    return printhost::ProgramFolder() + OEMDLL_MODULE_PATH;
#else
    return OEMDLL_MODULE_PATH;
#endif
}

}  // namespace standin
