// Linked into VORNBAR.exe only (not into the DLL): the executable's own export table. The
// executable exports the member-wise copy assignments that come with the plug-in's class
// declarations (see vornplug.h for why they are frozen); nothing calls them. They are
// implicit inline members, so this unit takes their addresses to have them emitted here,
// and vornbar_exports.def names them for the export table. Every other member stays
// imported from VORNPLUG.dll.
#include "plugin_api/vornplug.h"

namespace vorn::plugin {

struct ExportedCopyAssignments {
    UDPCSock& (UDPCSock::*udpcsock)(const UDPCSock&);
    SOCKLIB& (SOCKLIB::*socklib)(const SOCKLIB&);
    VORNPLUG& (VORNPLUG::*vornplug)(const VORNPLUG&);
};

// External and marked used, so that no optimisation drops the three definitions.
extern const ExportedCopyAssignments kExportedCopyAssignments;
__attribute__((used)) const ExportedCopyAssignments kExportedCopyAssignments = {
    &UDPCSock::operator=, &SOCKLIB::operator=, &VORNPLUG::operator= };

}  // namespace vorn::plugin
