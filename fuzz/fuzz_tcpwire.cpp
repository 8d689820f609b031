// The TCP protocol as a receiver meets it: a byte stream cut into messages
// (arriving in pieces of any size) and every message decoded as the client
// and the reference server decode theirs.
#include "fileops/installlayout.h"
#include "fileops/tempfilewriter.h"
#include "fuzzcheck.h"
#include "tcp/messages.h"

#include <cstdint>

using namespace TcpProtocol;

namespace {

// Text a field of width bytes holds whole: valid UTF-8 (nothing replaced)
// of at most width - 1 bytes.
bool fits(const QString &text, int width)
{
    return !text.contains(QChar(QChar::ReplacementCharacter)) && text.toUtf8().size() < width;
}

// Where the client would stage a file the server named: never outside the
// staging folder, and only what the release rules accept.
void checkStagedName(const QString &path, const QString &name)
{
    static const QStringList workPlaces = InstallLayout::withUsualSettings(QStringLiteral("/inst")).workPlaces();
    const QString relative = stagedRelativePath(path, name);
    const PathPolicy::ReleaseNameProblem problem = stagedNameProblem(path, name, workPlaces);
    FUZZ_CHECK(relative.isNull() == (problem == PathPolicy::ReleaseNameProblem::Unsafe));
    if (relative.isNull())
        return;
    FUZZ_CHECK(!relative.isEmpty() && !relative.startsWith(QLatin1Char('/')));
    FUZZ_CHECK(PathPolicy::isSafeRelativeName(relative));
    FUZZ_CHECK(stagedFilePath(QStringLiteral("/stage"), path, name) == QStringLiteral("/stage/") + relative);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte chooses how the stream is split into reads; a small
    // payload limit lets short inputs reach the over-long case.
    const int piece = 1 + data[0] % 64;
    const QByteArray stream(reinterpret_cast<const char *>(data) + 1, static_cast<int>(size - 1));
    FrameReader reader(4096);
    for (int at = 0; at < stream.size(); at += piece) {
        reader.append(stream.mid(at, piece));
        for (;;) {
            MessageHeader header;
            QByteArray payload;
            const FrameReader::Status status = reader.next(header, payload);
            if (status != FrameReader::Status::Message) {
                FUZZ_CHECK(status == FrameReader::Status::NeedMore || reader.buffered() == 0);
                break;
            }
            FUZZ_CHECK(header.magic == kMagic);
            FUZZ_CHECK(static_cast<quint32>(payload.size()) == header.length);
            // A version reply's header field names a share or the stepping
            // stone, never both.
            const int share = rolloutOfField(header.reserved);
            FUZZ_CHECK(share >= 0 && share <= 100);
            FUZZ_CHECK(!isSteppingStoneField(header.reserved) || share == 100);

            const VersionInfo info = decodeVersionReply(payload);
            for (const FileEntry &entry : info.files) {
                FUZZ_CHECK(entry.raw.size() == kFileEntrySize);
                checkStagedName(entry.filePath(), entry.fileName());
                // A name that passes reads back to the bytes sent.
                if (entry.undecodableName().isEmpty())
                    FUZZ_CHECK((entry.filePath() + QLatin1Char('/') + entry.fileName()).toUtf8()
                               == rawTextField(entry.raw.constData(), kPathWidth) + '/'
                                   + rawTextField(entry.raw.constData() + kPathWidth, kNameWidth));
            }
            FUZZ_CHECK(payload.size() >= kVersionReplyFixedSize
                       || (info.files.isEmpty() && !info.needUpdate));
            const FileDataChunk chunk = decodeFileData(payload);
            FUZZ_CHECK(chunk.data.size() == qMax(0, payload.size() - kFileDataFixedSize));
            checkStagedName(chunk.filePath, chunk.fileName);

            // The server's side of the same bytes, and a round trip of what
            // it read: text that fits its field reads back the same.
            ReleaseChoice release = ReleaseChoice::Newest;
            const FileRequest request = decodeFileRequest(payload, &release);
            if (fits(request.filePath, kPathWidth) && fits(request.fileName, kNameWidth)) {
                ReleaseChoice again = ReleaseChoice::Newest;
                FUZZ_CHECK(decodeFileRequest(encodeFileRequest(request, release), &again) == request && again == release);
            }
            const VersionCheckRequest check = decodeVersionCheckRequest(payload);
            const VersionCheckRequest reread = decodeVersionCheckRequest(encodeVersionCheckRequest(check));
            FUZZ_CHECK(reread.knowsSteppingStones == check.knowsSteppingStones);
            if (fits(check.version, kVersionWidth))
                FUZZ_CHECK(reread.version == check.version);
        }
    }
    return 0;
}
