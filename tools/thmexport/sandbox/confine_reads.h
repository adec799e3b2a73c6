// The kernel's half of the rule on what an import may read (import/reach.h):
// Landlock holds the import child to reading beneath the allowed folders, so
// that a parser taken over cannot read elsewhere either.
#pragma once

#include <string>
#include <vector>

namespace sandbox {

// The Landlock version the kernel offers; 0 where it offers none.
int LandlockAbi();

// Limits this process and its children to reading beneath `folders`. False
// where the kernel cannot (the check in the importer still refuses).
bool ConfineReads(const std::vector<std::string>& folders);

}  // namespace sandbox
