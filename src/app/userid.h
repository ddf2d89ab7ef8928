#pragma once

#include <QString>

// The user ID: first line of "userid.txt" in the installation root (trimmed) when that
// file exists, otherwise this machine's unique ID.
namespace UserId {
QString current();
}
