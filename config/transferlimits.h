#pragma once
// Bounds on what one run may spend on the update server's replies, beyond
// the silence limits of each channel. Read from system.cfg ([Limits]); a
// value of 0 turns its bound off.

#include <QtGlobal>

struct TransferLimits
{
    // The whole of a small request (update.ini, md5.txt) must arrive within
    // this time, however steadily it trickles.
    int requestDeadlineMs = 60000;
    // A file transfer ends when less than minBytesPerSecond arrived on
    // average over any window of rateWindowMs.
    qint64 minBytesPerSecond = 1024;
    int rateWindowMs = 60000;
    // Free space the staging folder's file system keeps while files are
    // staged there.
    qint64 diskReserveBytes = qint64(100) << 20;
};
