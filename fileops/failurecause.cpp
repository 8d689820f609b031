#include "fileops/failurecause.h"

FailureVerdict verdictFor(FailureCause cause)
{
    switch (cause) {
    case FailureCause::Cut:
    case FailureCause::TimedOut:
    case FailureCause::Refused:
    case FailureCause::ServerError:
        return FailureVerdict::Retry;
    case FailureCause::Missing:
    case FailureCause::Denied:
    case FailureCause::BadAnswer:
    case FailureCause::DigestMismatch:
        return FailureVerdict::NextSource;
    case FailureCause::DiskFull:
    case FailureCause::WriteFailed:
    case FailureCause::Cancelled:
        break;
    }
    return FailureVerdict::EndRun;
}
