#pragma once
// Why one attempt at a file failed, as both roads report it to the download
// scheduler, and what the scheduler does about it.

// The failure of one attempt at one file from one source.
enum class FailureCause {
    Cut,            // the connection broke off or was reset mid-file
    TimedOut,       // no data for the silence limit, or slower than the least rate
    Refused,        // no connection could be made (refused, host not found)
    ServerError,    // the server says it cannot serve now (5xx, 408, 429; a TCP error reply)
    Missing,        // the source does not have the file (404, 410)
    Denied,         // the source will not give it (401, 403, a refused certificate)
    BadAnswer,      // an answer that can never be taken (another status, an encoded body, too long)
    DigestMismatch, // the whole file arrived and is not the promised one
    DiskFull,       // the disk reserve would be broken
    WriteFailed,    // the bytes could not be stored
    Cancelled,      // the user ended the run
};

// What follows a failed attempt.
enum class FailureVerdict {
    Retry,      // the same source again after a pause, while retries are left
    NextSource, // this source failed for good: the file's next one, if any
    EndRun,     // no source can help: the run ends
};

// Retried: what the network or a busy server may not do next time (a cut,
// a time-out, a refused connection, a server error). Given up on the source:
// what it will answer again (missing, denied, an unusable answer, a wrong
// digest after a whole fetch). The run ends on what no source could mend
// (a full disk, a write error) and on cancel.
FailureVerdict verdictFor(FailureCause cause);
