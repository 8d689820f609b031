#pragma once

// The release's version description and manifest that one run downloaded
// beside the staging folder, as "update/updateTmp.ini" and
// "update/md5Tmp.txt" (the HTTP road fetches both during its check; the TCP
// road receives them as staged files and names neither here). The run says
// what it fetched and hands this down to the apply and the trust check, which
// never infer it from which files happen to exist: a file another run left
// behind is no part of this one.
struct DownloadedVersionFiles
{
    bool description = false;
    bool manifest = false;
};
