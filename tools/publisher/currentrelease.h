#pragma once
// Changes which release of an output folder clients are offered, and to how
// many of them, without publishing new files (see releasepublisher.h for
// the layout):
//   rollout: the current release with a new share (raised, or 0 to halt it);
//   current: a release published earlier into the same output folder made
//            the current one again (a rollback to it).
// A signed release is signed again with the next sequence number (the new
// share in its statement, and for a rollback the downgrade allowance), so
// it needs the secret key; update.ini is replaced last, as when publishing.

#include "releasepublisher.h"

// The current release of request.outDir offered to request.rules.rollout
// percent of the installations. "" on success, else the reason.
QString changeRollout(const PublishRequest &request);

// request.folder of request.outDir made current with request.rules. "" on
// success, else the reason; version receives the release's version.
QString makeReleaseCurrent(const PublishRequest &request, QString *version = nullptr);
