#pragma once

#include "fileops/stagedfile.h"

#include <QByteArray>
#include <QSet>
#include <QString>

// The updater's own folder for downloads that did not finish in their run:
// a file cut off (the run killed, the connection lost, the run cancelled or
// failed elsewhere) is kept here with what identifies the server's copy, so
// the next run asks only for the rest. Files are kept under their expected
// MD5, never under a release name: nothing here is installed, and the
// recovery of an unfinished apply never looks here.
//
// Per file: "<md5>.part" (the bytes so far) and "<md5>.part.validator"
// (the validator header's name and value of the answer the bytes came from,
// and the file's whole size, one a line). A part without a validator is not
// resumed: nothing could prove the rest belongs to the same file; a whole
// file needs none, its digest proves it. Files of at most kRecordAbove bytes
// get no validator: fetching one again costs less than recording it, and
// with many small files the records' creation and removal would cost more
// than the downloads.
class PartialDownloads
{
public:
    // What is kept of one file.
    struct Kept
    {
        qint64 bytes = 0;  // 0: nothing usable
        qint64 total = -1; // the whole file's size the server named; -1 unknown
        QByteArray validatorName; // "ETag" or "Last-Modified"
        QByteArray validator;
    };

    static constexpr qint64 kRecordAbove = 128 * 1024;

    // folder ends with "/"; empty: nothing is ever kept.
    explicit PartialDownloads(const QString &folder = QString());
    // The installation's own folder, update/partial/ below installation
    // (which ends with "/"); none when that would lead out of it (a link):
    // a run then downloads straight into staging.
    static PartialDownloads ofInstallation(const QString &installation);

    QString folder() const { return root; }
    // Where the file with this MD5 is written while it downloads; empty when
    // nothing is kept or md5 is not 32 hex digits.
    QString dataPath(const QString &md5) const;
    // What is kept of the file. Bytes without a validator are counted, with
    // an empty validator: they can only be a whole file, proved by its digest.
    Kept kept(const QString &md5) const;
    // Records the answer the bytes at dataPath come from (an empty validator:
    // none). False when it could not be written: the bytes are then never
    // resumed.
    bool record(const QString &md5, const QByteArray &validatorName, const QByteArray &validator, qint64 total) const;
    // Moves the verified file with this MD5 into target (its folder made):
    // a rename on one file system, else a copy that keeps reserveBytes free
    // beside target and checks the MD5 again (*shortage: why the reserve
    // refused). What is kept of the file is dropped when it is there.
    StagedFile::Problem moveInto(const QString &md5, const QString &target, qint64 reserveBytes,
                                 QString *shortage) const;
    // Keeps every file below folder (the staging folder of a run that did
    // not finish) as a whole file under its MD5, moved, never copied: a
    // later run takes the ones its manifest names (takeWhole). Links, hidden
    // files and what cannot be moved stay where they are; nothing is kept
    // from another file system or while the disk has less than reserveBytes
    // free.
    void keepWhole(const QString &folder, qint64 reserveBytes) const;
    // True when any file is kept.
    bool holdsAny() const;
    // Moves the kept file with this MD5 into target when it is whole: its
    // bytes still have that digest (they are read again). Otherwise false,
    // and what was kept of it is dropped.
    bool takeWhole(const QString &md5, const QString &target, qint64 reserveBytes) const;
    // Drops what is kept of the file.
    void forget(const QString &md5) const;
    // Drops every kept file whose MD5 is not among md5s (lower-case hex).
    void keepOnly(const QSet<QString> &md5s) const;
    // Drops the folder: after the files moved into the staging folder, and
    // when a check found the installed version the newest (nothing kept can
    // be needed then).
    void removeAll() const;

private:
    QString validatorPath(const QString &md5) const;

    QString root;
};
