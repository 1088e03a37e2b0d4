// The plug-ins' installation entry point, called by an installer outside the
// browser (npshell --install, scripts/install-plugins.sh). A plug-in exports
// it by linking orvane_chain and listing it in its export files.
#pragma once

extern "C" {
// NP_Install: removes the authority's withdrawn CA certificates (RSA, then
// SM2 table), then installs the chain documents 104 and 105 built into the
// calling module. Every step's failure is traced only; nothing is returned.
// On Windows the calling thread must have initialised COM.
void NP_Install(void);
}
