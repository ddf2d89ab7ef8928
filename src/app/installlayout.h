#pragma once

// Start-up layout step: makes the backfill working folder and, only when the broker
// database folder is missing, creates it and seeds it from the installation's dbfiles.
namespace InstallLayout {
void prepare();
}
