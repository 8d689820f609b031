#pragma once

#include <QByteArray>
#include <QCryptographicHash>
#include <QFile>
#include <QString>

class DiskReserve;

// What a file is known to be before it arrives: size and MD5 where the run
// knows them (the HTTP manifest's digest, the size a server announces).
struct FileExpectation
{
    qint64 size = -1; // -1: not known
    QString md5;      // hex, any letter case; empty: not known
};

// One file being written into a download's staging area, by either road:
// every byte passes the disk reserve before it is written, and the file's
// MD5 is computed as the bytes stream, over the whole file (a kept prefix
// included), so verifying it never reads the file again.
//
// The file is written unbuffered: a full disk shows in the append that hit
// it, not in a close long after. Whatever ends it other than a successful
// finish() leaves nothing at the path, unless keep() hands it on as a partial
// file for a later run.
class StagedFile
{
public:
    enum class Problem {
        None,
        Open,           // the folder or the file could not be made
        Write,          // the file system did not take every byte
        DiskShort,      // the reserve would have been broken (DiskReserve::shortageText)
        TooLong,        // more bytes than the expected size
        SizeMismatch,   // finished with another size than expected
        DigestMismatch, // finished with another MD5 than expected
    };

    // reserve must outlive the file; it may be shared by several files.
    StagedFile(const QString &path, DiskReserve &reserve);
    // Closes the file; removes it unless it was finished or kept.
    ~StagedFile();
    StagedFile(const StagedFile &) = delete;
    StagedFile &operator=(const StagedFile &) = delete;

    const QString &path() const { return filePath; }

    // Creates the file (and its folder), empty. Problem::Open when it cannot.
    Problem open(const FileExpectation &expected = {});
    // Opens what an earlier run left at the path, keeping its first keepBytes
    // (fewer when it holds fewer: see size()) and hashing them, so the rest
    // can be appended. Problem::Open when it cannot.
    Problem openKeeping(qint64 keepBytes, const FileExpectation &expected = {});

    // Writes data after what is stored; nothing is written unless all of it
    // is admitted by the reserve and fits the expected size.
    Problem append(const QByteArray &data);
    // Closes the file and checks it against the expectation given to open.
    // Any problem removes the file.
    Problem finish();
    // Closes and removes the file, unless it was never opened, finished or kept.
    void discard();
    // Closes the file and leaves it where it is (a partial download kept for
    // a later run); a later destruction no longer removes it.
    void keep();

    bool isOpen() const { return file.isOpen(); }
    // Bytes stored so far (after openKeeping: the kept ones included).
    qint64 size() const { return stored; }
    // The lower-case hex MD5 of the bytes stored, once finish() has run.
    QString md5() const { return digest; }
    // The expectation the file was opened with.
    const FileExpectation &expectation() const { return expected; }

private:
    Problem openWith(QIODevice::OpenMode mode, const FileExpectation &expectation);

    const QString filePath;
    DiskReserve &reserve;
    QFile file;
    FileExpectation expected;
    QCryptographicHash hash{QCryptographicHash::Md5};
    qint64 stored = 0;
    QString digest;
    bool settled = true; // not opened, finished or kept: nothing to remove
};
