#ifndef FIXED_H
#define FIXED_H

// Everything the updater does is fixed here: its geometry, the texts it
// shows and the command lines it runs. It reads no options or settings.

#include <QRect>
#include <QSize>
#include <QString>

namespace Fixed {

inline constexpr QSize windowSize(600, 67);
inline constexpr QRect progressGeometry(10, 15, 580, 12);
inline constexpr QRect labelGeometry(10, 37, 580, 20);

inline const QString extractingText = QStringLiteral("升级包解压中..");
inline const QString errorText = QStringLiteral("解压出现异常，请重试！如仍旧异常请联系客服");
inline const QString completedText = QStringLiteral("解压完成，准备吂启动客户端");

inline const QString interpreter = QStringLiteral("cmd");
inline const QString stopClient = QStringLiteral("taskkill /im kro.exe /f\n");
inline const QString extractPackage =
    QStringLiteral("7za x update/kro_update.zip  -aoa -mx2 -bsp1\n");
inline const QString startClient = QStringLiteral("kro.exe\n");

// Windows ends a process some time after taskkill returns, and its program
// and DLLs cannot be replaced until it has: the extraction waits that long
// at most for every process of the client's name to be gone, and logs this
// when it waits in vain.
inline const QString clientImage = QStringLiteral("kro.exe");
inline constexpr int clientEndTimeoutMs = 10000;
inline const QString clientStillRunning = QStringLiteral("kro.exe 在 %1 秒内未结束，仍开始解压\n");

// What one updater holds while it works in an install folder, in the
// session's namespace, followed by a hash of the folder.
inline const QString folderMutexPrefix = QStringLiteral("Local\\kro-updater-");

inline const QString successLine = QStringLiteral("Everything is Ok");

// A secret that can turn up in a transcript: it never reaches the log.
inline const QString secretToken = QStringLiteral("!qwe579zoph");
inline const QString secretMask = QStringLiteral("**");

inline constexpr int startTimeoutMs = 30000;
inline constexpr int finishTimeoutMs = 1000;

} // namespace Fixed

#endif // FIXED_H
