#include "log/logger.h"

#include <QFile>
#include <QString>

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>
#ifdef Q_OS_WIN
#include <spdlog/sinks/wincolor_sink.h>
#else
#include <spdlog/sinks/ansicolor_sink.h>
#endif

#include <iostream>
#include <memory>

namespace {

constexpr const char *kLoggerName = "update_helper";
constexpr const char *kPattern = "[%Y-%m-%d %H:%M:%S.%e] [%^%l%$] [%t] %v";
constexpr size_t kMaxFileSize = 5242880;
constexpr size_t kMaxFiles = 3;

std::shared_ptr<spdlog::logger> g_logger;
bool g_consoleToStderr = false;

spdlog::sink_ptr makeConsoleSink()
{
#ifdef Q_OS_WIN
    if (g_consoleToStderr)
        return std::make_shared<spdlog::sinks::wincolor_stderr_sink_mt>();
    return std::make_shared<spdlog::sinks::wincolor_stdout_sink_mt>();
#else
    if (g_consoleToStderr)
        return std::make_shared<spdlog::sinks::ansicolor_stderr_sink_mt>();
    return std::make_shared<spdlog::sinks::ansicolor_stdout_sink_mt>();
#endif
}

void fallback(std::ostream &stream, const char *prefix, const std::string &message)
{
    stream << prefix << message << std::endl;
}

std::ostream &fallbackStream(bool isError)
{
    return (isError || g_consoleToStderr) ? std::cerr : std::cout;
}

void writeLog(spdlog::level::level_enum level, const char *prefix, const std::string &message)
{
    if (g_logger) {
        g_logger->log(level, spdlog::string_view_t(message.data(), message.size()));
        return;
    }
    fallback(fallbackStream(level >= spdlog::level::err), prefix, message);
}

} // namespace

void setLogConsoleToStderr(bool toStderr)
{
    g_consoleToStderr = toStderr;
}

void initLogger(const std::string &path)
{
    try {
        auto console = makeConsoleSink();
        console->set_level(spdlog::level::info);
        auto file = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(path, kMaxFileSize, kMaxFiles, false);
        file->set_level(spdlog::level::debug);
        auto logger = std::make_shared<spdlog::logger>(kLoggerName, spdlog::sinks_init_list{console, file});
        logger->set_level(spdlog::level::debug);
        logger->flush_on(spdlog::level::warn);
        logger->set_formatter(std::make_unique<spdlog::pattern_formatter>(
            kPattern, spdlog::pattern_time_type::local, std::string("\r\n")));
        spdlog::drop(kLoggerName);
        spdlog::register_logger(logger);
        spdlog::set_default_logger(logger);
        g_logger = logger;
    } catch (const spdlog::spdlog_ex &ex) {
        std::cerr << "Log initialization failed: " << ex.what() << std::endl;
    }
}

void shutdownLogger()
{
    if (g_logger)
        g_logger->flush();
    g_logger.reset();
    spdlog::drop(kLoggerName);
}

void setupLogging(const QString &logPrefix)
{
    initLogger(QFile::encodeName(logFilePath(logPrefix)).toStdString());
    logPhase(QStringLiteral("Update started"));
}

QString logFilePath(const QString &logPrefix)
{
    return logPrefix + QStringLiteral("update.log");
}

void flushLog()
{
    if (g_logger)
        g_logger->flush();
}

void logPhase(const QString &message)
{
    logInfo(message);
    flushLog();
}

void logDebug(const std::string &message) { writeLog(spdlog::level::debug, "[DEBUG] ", message); }
void logInfo(const std::string &message) { writeLog(spdlog::level::info, "[INFO] ", message); }
void logWarn(const std::string &message) { writeLog(spdlog::level::warn, "[WARN] ", message); }
void logError(const std::string &message) { writeLog(spdlog::level::err, "[ERROR] ", message); }
void logDebug(const QString &message) { logDebug(message.toUtf8().toStdString()); }
void logInfo(const QString &message) { logInfo(message.toUtf8().toStdString()); }
void logWarn(const QString &message) { logWarn(message.toUtf8().toStdString()); }
void logError(const QString &message) { logError(message.toUtf8().toStdString()); }
void logDebug(const char *message) { logDebug(std::string(message)); }
void logInfo(const char *message) { logInfo(std::string(message)); }
void logWarn(const char *message) { logWarn(std::string(message)); }
void logError(const char *message) { logError(std::string(message)); }
