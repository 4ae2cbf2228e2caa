#pragma once
// The notices at the window: the tray's balloon and warning picture, and the Notices group of the
// Settings tab with a "Send test" button per sink. The notices themselves are the service's.
#include <QIcon>
#include <QObject>
#include <functional>
#include <optional>
#include <QPointer>
#include <QSystemTrayIcon>

#include "NoticeService.h"
#include "NoticeSettings.h"

class QCheckBox;
class QGroupBox;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QSpinBox;
class QWidget;

namespace tovi {

class NoticeCenter : public QObject {
    Q_OBJECT
public:
    NoticeCenter(NoticeService& notices, QSystemTrayIcon& tray, QObject* parent = nullptr);

    NoticeService& Service() { return m_notices; }
    // The tray shows the warning picture while this holds.
    bool Trouble() const { return m_notices.Trouble(); }
    const QIcon& WarningIcon() const { return m_warningIcon; }
    QGroupBox* BuildSettingsGroup(QWidget* parent);
    // The settings in force, into the group's boxes.
    void ShowSettings();
    // Who saves the boxes' settings: the service, which records who saved them.
    void SetSettingsSaver(std::function<bool(const NoticeSettings&)> save) { m_save = std::move(save); }
    bool SaveSettings();
    // The boxes hold edits not saved.
    bool SettingsChanged() const;

private:
    NoticeSettings FromBoxes() const;
    void ToBoxes(const NoticeSettings& settings);
    void ShowNotice(const QString& title, const QString& text, bool trouble);

    NoticeService& m_notices;
    QSystemTrayIcon& m_tray;
    std::function<bool(const NoticeSettings&)> m_save;
    std::optional<NoticeSettings> m_shown;
    QIcon m_warningIcon;

    QPointer<QLineEdit> m_txtDiscordURL, m_txtWebhookURL, m_txtWebhookSecret;
    QPointer<QListWidget> m_lstDiscordEvents, m_lstWebhookEvents, m_lstDesktopEvents;
    QPointer<QCheckBox> m_chkDesktopNotices;
    QPointer<QPlainTextEdit> m_txtWatchedWords;
    QPointer<QSpinBox> m_spnNotHosting, m_spnReportFailures, m_spnNoticeMaxAge;
};

}  // namespace tovi
