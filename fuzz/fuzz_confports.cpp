// Fuzz target: quilmoctl's reading of the configuration's Port lines. Whatever the file holds,
// it lists the values the daemon would open, in file order, and no more than it keeps.
#include <string>

#include "confmodel.h"
#include "conffile.h"
#include "fuzzhelp.h"
#include "service.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    PrivateRoot();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 8192)
        return -1;
    std::string path = FuzzRoot() + CONFIG_FILE;
    FILE *fp = fopen(path.c_str(), "we");
    if (!fp || fwrite(data, 1, size, fp) != size || fclose(fp) != 0)
        FuzzFail("cannot write %s", path.c_str());
    std::vector<std::string> got;
    if (!ReadConfiguredPorts(&got))
        FuzzFail("the configuration could not be read");
    std::vector<std::string> want = ConfModelFile(std::string(reinterpret_cast<const char *>(data), size)).portValues;
    if (want.size() > MAX_PORTS)
        want.resize(MAX_PORTS);
    if (got != want)
        FuzzFail("%zu Port values read where the daemon's rules give %zu", got.size(), want.size());
    return 0;
}
