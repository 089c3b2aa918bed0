#pragma once

#include <QString>

// True when a modification time can be read for path (files and folders alike); never throws.
bool FileExists(const QString &path);
