#pragma once

class QString;
class QWidget;

// How a download run ended, as both progress windows show it.
enum class RunEnd { Succeeded, Failed, Cancelled };

// The one confirmation both progress windows ask before a running update is
// cancelled (by the cancel button, Escape or closing the window): a modal
// box "确认取消" with "确认" and the default "取消". True only when the user
// chose "确认".
bool confirmCancel(QWidget *parent);

// The line that sends the user to the log after a failure, naming the file
// as the system shows paths.
QString logHint(const QString &logFile);
