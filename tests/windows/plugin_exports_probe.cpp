// Stands in for VORNBAR.exe: links the plug-in's executable-exports object and calls the
// plug-in through VORNPLUG.dll, so that its export and import tables can be checked.
#include "plugin_api/vornplug.h"

int main() {
    VORNPLUG plugin;
    LMDATA data{};
    plugin.Cancel();
    VORNHISTORY info{};
    VORNHISTSLOT slot{};
    return plugin.Get(data, 0) +
           plugin.GetHistory(LM_CPU, VORNHIST_SAMPLES, 0, 0, info, &slot, 1, 0);
}
