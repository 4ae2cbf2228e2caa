// One script of operator actions, played at the window and through the web panel of a copy without
// a window, each copy against a game server of its own: the record keeps the same admin actions,
// the ban list the same entries and the notices say the same, every one of them naming whoever
// acted on that side (the operator at the window, the panel's account).
//
// Each copy watches its own simulator on an X server of its own, so that each finds its server by
// the game's caption and no other. Both copies run in real time and the script runs on both in
// step; every wait is for what the record, the list or the simulator shows.
#include <QAction>
#include <QJsonArray>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>
#include <algorithm>
#include <array>
#include <fstream>
#include <functional>
#include <vector>

#include "Application.h"
#include "GameText.h"
#include "HeadlessPanel.h"
#include "LocalService.h"
#include "PlatformBackend.h"
#include "QtHttpClient.h"
#include "QtScheduler.h"
#include "SimProcess.h"

using namespace tovi;

namespace {

constexpr int kLongWaitMs = 60000;  // only keeps a broken run from hanging

// Three players who stay until they are removed; the match never ends by itself. A restarted
// round seats again whoever left it.
const char kScenario[] =
    "name \"Parity test\"\nmaxplayers 8\ndedicated 1\ngametype 1\n"
    "round \"Tidal Wave\" \"JOTR_TIDALWAVE.BMS\"\nloading 0\nwaiting 0\nmatchtime forever\n"
    "at 0 join 1 \"Wanda\" team=1\nat 0 join 2 \"Pete\" team=2\nat 0 join 3 \"Bart\" team=1\n";

// The same settings for both copies but for where each reports and sends its notices to, and the
// panel of the copy without a window.
void Prepare(const QString& folder, const testing::LocalService& receiver, const std::string& face,
             bool panel) {
    std::ofstream settings(QDir(folder).filePath("settings.ini").toStdString(), std::ios::binary);
    settings << "[server]\r\nservercode=QX-ACT\r\nupdateurl="
             << receiver.Url(("/" + face + "/update.php").c_str())
             << "\r\nimporturl=" << receiver.Url(("/" + face + "/import.php").c_str())
             << "\r\n[settings]\r\nuseautomes=0\r\nminplayers=4\r\n"
                "[bans]\r\npresets=2\r\npreset1=7d Cheating\r\npreset2=1h Spawn camping\r\nwarnings=1\r\n"
                "warnwindow=30\r\nwarnladder=2 punt, 3 ban 1d\r\n"
                "[notices]\r\ndesktop=0\r\nwebhook_url="
             << receiver.Url(("/" + face + "/hook").c_str())
             << "\r\nwebhook_events=player_banned,player_punted,player_warned,ban_enforced\r\n";
    if (panel) settings << "[web]\r\nenabled=1\r\nbind=127.0.0.1\r\nport=0\r\n";
    std::ofstream(QDir(folder).filePath("parity.scn").toStdString()) << kScenario;
}

std::unique_ptr<testing::SimProcess> StartSimulator(const QString& folder) {
    return std::make_unique<testing::SimProcess>(
        "C:\\Games\\JO\\jointops.exe",
        std::vector<std::string>{"--scenario", QDir(folder).filePath("parity.scn").toStdString(),
                                 "--transcript", QDir(folder).filePath("transcript.txt").toStdString()});
}

// How often the simulator in `folder` seated `name` in `slot`.
int Joins(const QString& folder, int slot, const QString& name) {
    QFile file(QDir(folder).filePath("transcript.txt"));
    if (!file.open(QIODevice::ReadOnly)) return 0;
    return static_cast<int>(
        file.readAll().count(QStringLiteral("join %1 \"%2\"\n").arg(slot).arg(name).toUtf8()));
}

// Whoever acted, as one name for both sides: the side's own actor, or the program itself.
constexpr const char* kActor = "<actor>";

// An admin row as "player | action and outcome | who, reason and detail", the side's actor as
// <actor> and the time left of a ban (which depends on the second it was said in) left out.
// `who` is whom the row names as acting.
QString AuditRow(const QString& player, const QString& text, QString detail, const QString& actor,
                 QString& who) {
    if (detail == actor || detail.startsWith(actor + QLatin1Char(' '))) {
        who = QString::fromLatin1(kActor);
        detail = who + detail.mid(actor.size());
    } else if (detail.startsWith(QStringLiteral("the program"))) {
        who = QStringLiteral("the program");
    } else {
        who = detail;
    }
    static const QRegularExpression timeLeft(QStringLiteral("\\(\\d+ [a-z]+( \\d+ [a-z]+)? left\\)"));
    detail.replace(timeLeft, QStringLiteral("(time left)"));
    return player + " | " + text + " | " + detail;
}

// The rows of one side, oldest first; `misnamed` gets every row that names someone else than who
// acted: the side's actor for what an operator did, the program for the ban list's enforcement.
QStringList AuditRows(const std::vector<std::array<QString, 3>>& newestFirst, const QString& actor,
                      QStringList* misnamed) {
    QStringList rows;
    for (auto it = newestFirst.rbegin(); it != newestFirst.rend(); ++it) {
        QString who;
        const QString row = AuditRow((*it)[0], (*it)[1], (*it)[2], actor, who);
        const bool enforcement = (*it)[1].startsWith(QStringLiteral("ban list "));
        if (misnamed && who != (enforcement ? QStringLiteral("the program") : QString::fromLatin1(kActor)))
            *misnamed << row;
        rows << row;
    }
    return rows;
}

bool HasRow(const QStringList& rows, const QString& start) {
    return std::ranges::any_of(rows, [&](const QString& row) { return row.startsWith(start); });
}

// A ban as "name | reason | issued by | state | lifted by | seconds it was given for".
QString BanRow(const QString& name, const QString& reason, QString issuedBy, const QString& state,
               QString liftedBy, qint64 seconds, const QString& actor, QStringList& misnamed) {
    if (issuedBy == actor) {
        issuedBy = QString::fromLatin1(kActor);
    } else {
        misnamed << name + " issued by " + issuedBy;
    }
    if (liftedBy == actor) {
        liftedBy = QString::fromLatin1(kActor);
    } else if (!liftedBy.isEmpty()) {
        misnamed << name + " lifted by " + liftedBy;
    }
    return QStringList{name, reason, issuedBy, state, liftedBy, QString::number(seconds)}.join(
        QStringLiteral(" | "));
}

// The notices a side's webhook took, each once, in order: "event | player | by | why".
QStringList Notices(const testing::LocalService& receiver, const QByteArray& path, const QString& actor,
                    QStringList& misnamed) {
    QStringList notices, ids;
    for (const testing::TakenRequest& r : receiver.taken) {
        if (r.path != path) continue;
        const QJsonObject notice = QJsonDocument::fromJson(r.body).object();
        const QString id = notice[QStringLiteral("id")].toString();
        if (ids.contains(id)) continue;
        ids << id;
        QMap<QString, QString> fields;
        for (const QJsonValue& f : notice[QStringLiteral("fields")].toArray())
            fields[f[QStringLiteral("name")].toString()] = f[QStringLiteral("value")].toString();
        QString by = fields.value(QStringLiteral("By"));
        if (by == actor) {
            by = QString::fromLatin1(kActor);
        } else {
            misnamed << notice[QStringLiteral("event")].toString() + " by " + by;
        }
        notices << QStringList{notice[QStringLiteral("event")].toString(),
                               fields.value(QStringLiteral("Player")), by,
                               fields.value(QStringLiteral("Why"))}
                       .join(QStringLiteral(" | "));
    }
    return notices;
}

// The window as its operator uses it: the player list and its menu, the chat line, the map
// strip's buttons, the Bans tab and the settings' save buttons; its dialogs answer as lined up.
struct WindowSide {
    frmMain& window;
    testing::NoDialogs& dialogs;
    const QString actor = QString::fromLatin1(kOperatorAtWindow);

    template <typename T>
    T* Find(const char* name) {
        return window.findChild<T*>(QString::fromLatin1(name));
    }

    bool Seated(const QString& name) {
        auto* list = Find<QTreeWidget>("lstPlayers");
        for (int row = 0; row < list->topLevelItemCount(); ++row)
            if (list->topLevelItem(row)->text(1) == name) return true;
        return false;
    }
    void Select(const QString& name) {
        auto* list = Find<QTreeWidget>("lstPlayers");
        for (int row = 0; row < list->topLevelItemCount(); ++row)
            if (list->topLevelItem(row)->text(1) == name) list->setCurrentItem(list->topLevelItem(row));
    }
    void Chat(const QString& text) {
        Find<QLineEdit>("txtType")->setText(text);
        Find<QToolButton>("cmdSendText")->click();
    }
    void Warn(const QString& name, const QString& text) {
        Select(name);
        dialogs.inputs.push_back(text.toStdString());
        Find<QAction>("mnuPlayersWarn")->trigger();
    }
    void ResetGames() {
        dialogs.answers.push_back(true);
        Find<QToolButton>("cmdMapResetGames")->click();
    }
    void PuntWithReason(const QString& name, const QString& reason) {
        Select(name);
        dialogs.inputs.push_back(reason.toStdString());
        Find<QAction>("mnuPlayersPuntReason")->trigger();
    }
    // "Ban for" the menu's entry `entry` (from 1), confirmed.
    void BanFor(const QString& name, int entry) {
        Select(name);
        auto* menu = Find<QMenu>("mnuPlayersBanFor");
        emit menu->aboutToShow();
        dialogs.answers.push_back(true);
        menu->findChild<QAction*>(QStringLiteral("mnuPlayersBanFor%1").arg(entry))->trigger();
    }
    void Lift(const QString& name, const QString& reason) {
        auto* bans = Find<QTreeWidget>("lstBans");
        for (int row = 0; row < bans->topLevelItemCount(); ++row)
            if (bans->topLevelItem(row)->text(0) == name) bans->setCurrentItem(bans->topLevelItem(row));
        dialogs.inputs.push_back(reason.toStdString());
        Find<QPushButton>("cmdBanLift")->click();
    }
    void SaveMinPlayers(int players) {
        Find<QSpinBox>("UpDown")->setValue(players);
        Find<QToolButton>("cmdSaveSettingsOther")->click();
    }

    QStringList Audit(QStringList* misnamed = nullptr) {
        HistoryQuery query;
        query.Kind = HistoryKind::Admin;
        std::vector<std::array<QString, 3>> rows;
        for (const HistoryRow& r : window.GetService().History().Search(query))
            rows.push_back({FromGameText(r.Player), FromGameText(r.Text), FromGameText(r.Detail)});
        return AuditRows(rows, actor, misnamed);
    }
    QStringList Bans(QStringList& misnamed) {
        QStringList bans;
        const int64_t now = QDateTime::currentSecsSinceEpoch();
        for (const BanEntry& e : window.GetService().Bans().Entries()) {
            bans << BanRow(FromGameText(e.Name), FromGameText(e.Reason), FromGameText(e.IssuedBy),
                           QString::fromLatin1(BanStateText(StateOf(e, now))), FromGameText(e.LiftedBy),
                           e.ExpiresAt - e.IssuedAt, actor, misnamed);
        }
        return bans;
    }
};

// The web panel as a browser uses it, logged in as one account.
struct PanelSide : testing::PanelClient {
    PanelSide() { waitMs = kLongWaitMs; }
    const QString actor = QStringLiteral("ada");
    QStringList refused;  // every action the panel did not take, with its answer

    void Act(const QString& path, const QJsonObject& body) {
        const auto [status, answer] = Call("POST", path, body);
        if (status != 200)
            refused << path + ": " + QString::number(status) + " " + answer.value("error").toString();
    }
    QJsonObject Player(const QString& name) {
        for (const QJsonValue& p : Call("GET", "/api/v1/players").second.value("players").toArray())
            if (p["name"].toString() == name) return p.toObject();
        return {};
    }
    bool Seated(const QString& name) { return !Player(name).isEmpty(); }
    void Chat(const QString& text) { Act("/api/v1/chat", {{"text", text}}); }
    void Warn(const QString& name, const QString& text) {
        Act("/api/v1/players/warn", {{"slot", Player(name).value("slot")}, {"name", name}, {"text", text}});
    }
    void ResetGames() { Act("/api/v1/match/reset", {{"confirm", true}}); }
    void Punt(const QString& name, const QString& reason) {
        Act("/api/v1/players/punt",
            {{"slot", Player(name).value("slot")}, {"name", name}, {"reason", reason}});
    }
    void Ban(const QString& name, const QString& reason, int minutes) {
        Act("/api/v1/bans", {{"name", name}, {"reason", reason}, {"minutes", minutes}});
    }
    void Lift(const QString& name, const QString& reason) {
        for (const QJsonValue& b : Call("GET", "/api/v1/bans").second.value("bans").toArray()) {
            if (b["name"].toString() == name && b["liftedAt"].toInteger() == 0)
                Act("/api/v1/bans/lift", {{"id", b["id"]}, {"reason", reason}});
        }
    }
    void SaveMinPlayers(int players) {
        QJsonObject other = Call("GET", "/api/v1/settings").second.value("other").toObject();
        other.remove(QStringLiteral("sharedStore"));
        other[QStringLiteral("minPlayers")] = players;
        Act("/api/v1/settings", {{"other", other}});
    }

    // The audit log without the panel's own logins, which have no counterpart at the window.
    QStringList Audit(QStringList* misnamed = nullptr) {
        std::vector<std::array<QString, 3>> rows;
        for (const QJsonValue& r : Call("GET", "/api/v1/audit?limit=1000").second.value("rows").toArray()) {
            if (r["text"].toString().startsWith(QStringLiteral("login "))) continue;
            rows.push_back({r["player"].toString(), r["text"].toString(), r["detail"].toString()});
        }
        return AuditRows(rows, actor, misnamed);
    }
    QStringList Bans(QStringList& misnamed) {
        QStringList bans;
        for (const QJsonValue& b : Call("GET", "/api/v1/bans").second.value("bans").toArray()) {
            bans << BanRow(b["name"].toString(), b["reason"].toString(), b["issuedBy"].toString(),
                           b["state"].toString(), b["liftedBy"].toString(),
                           b["expiresAt"].toInteger() - b["issuedAt"].toInteger(), actor, misnamed);
        }
        return bans;
    }
};

}  // namespace

class ActionParityTest : public QObject {
    Q_OBJECT
private slots:
    void theWindowAndThePanelRecordTheSameActionsEachInItsActorsName() {
        testing::LocalService receiver;
        QTemporaryDir windowFolder, panelFolder;
        Prepare(windowFolder.path(), receiver, "window", false);
        Prepare(panelFolder.path(), receiver, "panel", true);

        // The copy without a window and its server, on an X server of their own.
        testing::PrivateDisplay panelDisplay;
        QVERIFY2(!panelDisplay.name().empty(), "Xvfb could not be started");
        auto panelSim = StartSimulator(panelFolder.path());
        QVERIFY(panelSim->pid() > 0);
        QVERIFY(testing::AddPanelUser(panelFolder.path(), "ada", "admin", kLongWaitMs));
        QProcess program;
        QByteArray log;
        PanelSide panel;
        panel.base = testing::StartHeadless(program, panelFolder.path(), log, kLongWaitMs);
        QVERIFY2(!panel.base.isEmpty(), log.constData());
        QVERIFY(panel.LogIn("ada"));

        // The window in this process and its server, on another X server.
        testing::PrivateDisplay windowDisplay;
        QVERIFY2(!windowDisplay.name().empty(), "Xvfb could not be started");
        auto windowSim = StartSimulator(windowFolder.path());
        QVERIFY(windowSim->pid() > 0);
        std::unique_ptr<ProcessBackend> backend = MakePlatformBackend();
        testing::NoDialogs dialogs;
        QtScheduler scheduler;
        QtHttpClient http;
        Application app(*backend, dialogs, scheduler, http, windowFolder.path(),
                        windowFolder.filePath("tovistats.lock"));
        app.Start();
        QVERIFY(app.Window());
        WindowSide window{*app.Window(), dialogs};

        // Both sides at once, until each shows what `done` asks of it.
        auto both = [&](const std::function<bool(QStringList, QStringList)>& done) {
            QStringList w, p;
            const bool reached = QTest::qWaitFor(
                [&] {
                    w = window.Audit();
                    p = panel.Audit();
                    return done(w, p);
                },
                kLongWaitMs);
            if (!reached)
                qWarning("window:\n%s\npanel:\n%s", qPrintable(w.join('\n')), qPrintable(p.join('\n')));
            return reached;
        };
        auto seated = [&](const QString& name) { return window.Seated(name) && panel.Seated(name); };
        QVERIFY(both([&](auto, auto) { return seated("Wanda") && seated("Pete") && seated("Bart"); }));

        // A chat line, and two warnings: the ladder punts at the second.
        window.Chat("hello from the admins");
        window.Warn("Wanda", "mind your language");
        window.Warn("Wanda", "language again");
        panel.Chat("hello from the admins");
        panel.Warn("Wanda", "mind your language");
        panel.Warn("Wanda", "language again");
        QVERIFY(both([](const QStringList& w, const QStringList& p) {
            return HasRow(w, "Wanda | warning punt") && HasRow(p, "Wanda | warning punt");
        }));

        // The round started again seats her once more; the third warning bans her for a day and
        // the ban list removes her.
        window.ResetGames();
        panel.ResetGames();
        QVERIFY(both([&](const QStringList& w, const QStringList& p) {
            return HasRow(w, " | reset games") && HasRow(p, " | reset games") &&
                   Joins(windowFolder.path(), 1, "Wanda") == 2 &&
                   Joins(panelFolder.path(), 1, "Wanda") == 2 && seated("Wanda");
        }));
        window.Warn("Wanda", "third time");
        panel.Warn("Wanda", "third time");
        QVERIFY(both([](const QStringList& w, const QStringList& p) {
            return HasRow(w, "Wanda | ban list punt") && HasRow(p, "Wanda | ban list punt");
        }));

        // Another player punted with a reason.
        window.PuntWithReason("Pete", "camping");
        panel.Punt("Pete", "camping");
        QVERIFY(both([](const QStringList& w, const QStringList& p) {
            return HasRow(w, "Pete | punt") && HasRow(p, "Pete | punt");
        }));

        // A third banned for the preset "1h Spawn camping", removed by the ban list, then let back.
        window.BanFor("Bart", 2);
        panel.Ban("Bart", "Spawn camping", 60);
        QVERIFY(both([](const QStringList& w, const QStringList& p) {
            return HasRow(w, "Bart | ban list punt") && HasRow(p, "Bart | ban list punt");
        }));
        window.Lift("Bart", "appeal granted");
        panel.Lift("Bart", "appeal granted");

        // The other settings saved.
        window.SaveMinPlayers(2);
        panel.SaveMinPlayers(2);
        QVERIFY(both([](const QStringList& w, const QStringList& p) {
            return HasRow(w, " | settings saved") && HasRow(p, " | settings saved");
        }));
        QVERIFY2(panel.refused.isEmpty(), qPrintable(panel.refused.join('\n')));
        // The window asked for every answer and text lined up for it, and took them.
        QVERIFY(dialogs.answers.empty() && dialogs.inputs.empty());

        // Two warnings, the ladder's punt, the third warning, its ban, the punt, the ban.
        constexpr int kNotices = 7;
        QStringList windowMisnamed, panelMisnamed;
        QVERIFY(QTest::qWaitFor(
            [&] {
                QStringList ignored;
                return Notices(receiver, "/window/hook", window.actor, ignored).size() >= kNotices &&
                       Notices(receiver, "/panel/hook", panel.actor, ignored).size() >= kNotices;
            },
            kLongWaitMs));
        const QStringList windowAudit = window.Audit(&windowMisnamed),
                          panelAudit = panel.Audit(&panelMisnamed);
        const QStringList windowBans = window.Bans(windowMisnamed), panelBans = panel.Bans(panelMisnamed);
        const QStringList windowNotices = Notices(receiver, "/window/hook", window.actor, windowMisnamed);
        const QStringList panelNotices = Notices(receiver, "/panel/hook", panel.actor, panelMisnamed);

        program.terminate();
        QVERIFY(program.waitForFinished(kLongWaitMs));

        QCOMPARE(panelAudit, windowAudit);
        QCOMPARE(panelBans, windowBans);
        QCOMPARE(panelNotices, windowNotices);
        QVERIFY2(windowMisnamed.isEmpty(), qPrintable(windowMisnamed.join('\n')));
        QVERIFY2(panelMisnamed.isEmpty(), qPrintable(panelMisnamed.join('\n')));
        // Every step was taken: nothing both sides left out alike passes for parity.
        for (const char* done :
             {" | chat sent", "Wanda | warn sent", "Wanda | warning punt sent", " | reset games sent",
              "Wanda | ban listed sent", "Wanda | ban list punt sent", "Pete | punt sent",
              "Bart | ban listed sent", "Bart | ban list punt sent", "Bart | ban lifted sent",
              " | settings saved sent"})
            QVERIFY2(HasRow(windowAudit, QString::fromLatin1(done)), done);
        QCOMPARE(windowAudit.filter(QStringLiteral("Wanda | warn sent")).size(), 3);
        QCOMPARE(windowBans.size(), 2);
        QCOMPARE(windowNotices.size(), kNotices);
    }
};

QTEST_MAIN(ActionParityTest)
#include "ActionParityTest.moc"
