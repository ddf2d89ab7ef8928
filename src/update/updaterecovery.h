#pragma once

// An update killed while it moved files leaves its journal in the installation root. The
// next start, before it reads anything the update may have replaced, finishes that install
// (every new file still staged or in place) or undoes it, so the installation is wholly
// the old build or wholly the new one. Only the one running copy may do this: the caller
// holds the single-instance claim.
namespace UpdateRecovery {

// Whether an install journal is present.
bool pending();

// Finishes or undoes an interrupted install. True when nothing is left to finish (also
// when there was none); false when the journal could not be carried out (it stays for the
// next start).
bool finishInterruptedInstall();

} // namespace UpdateRecovery
