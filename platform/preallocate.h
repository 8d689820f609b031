#pragma once

#include <QtGlobal>

class QFile;

// Gives an open, empty file its final size with its blocks allocated, so
// writing into a mapping of it cannot fail half-way on a full disk (which
// ends a program with SIGBUS elsewhere). Windows allocates a non-sparse
// file's clusters when it is extended; elsewhere posix_fallocate(3). False,
// with the file left empty, when the room is not there.
bool preallocateFile(QFile &file, qint64 size);
