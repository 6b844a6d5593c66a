// Linked into every product module on the host: registers the module with
// the stand-in as it loads, with the resources that product_resources
// embedded (none when the module has no resource script), and takes it out
// again as it unloads.
#include "include/host_resources.h"

extern "C" {
// Defined by the generated resource source of the module, if any.
__attribute__((weak, visibility("hidden"))) extern const unsigned char host_embedded_resources[];
__attribute__((weak, visibility("hidden"))) extern const size_t host_embedded_resources_size;
}

namespace {

struct ModuleAnchor {
    ModuleAnchor()
    {
        if (host_embedded_resources)
            host_module_attach(this, host_embedded_resources, host_embedded_resources_size);
        else
            host_module_attach(this, 0, 0);
    }
    ~ModuleAnchor() { host_module_detach(this); }
};

ModuleAnchor g_anchor;

}  // namespace
