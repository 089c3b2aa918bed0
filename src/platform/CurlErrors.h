#pragma once

#include "platform/PageFetcher.h"

#include <curl/curl.h>

class QFile;

// Why a transfer failed; none while it has not.
struct Problem
{
    FetchError kind = FetchError::None;
    QString text;
    bool isEmpty() const { return kind == FetchError::None; }
};

// What went wrong, told by libcurl's result and the system's error number
// alone: their texts are translated under the user's locale. A deadline
// ended a connected transfer that ran its whole time; else it was too slow.
FetchError kindOf(CURLcode code, long osErrno, bool ranItsTime);

// The problem of a failed transfer, the kind given, libcurl's words as its text.
Problem curlProblem(CURLcode code, const char *detail, FetchError kind);
Problem statusProblem(long status);
Problem fileProblem(const QFile &file);
FetchResult failed(const Problem &problem);
