#include "ActionFeedback.h"

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QStyle>
#include <QTimer>
#include <QTreeWidget>

#include "GameText.h"
#include "ListViews.h"
#include "QtSupport.h"
#include "Service.h"

namespace tovi {

namespace {

const std::array<const char*, 3> kLabelNames = {"lblChatFeedback", "lblPlayersFeedback", "lblMapFeedback"};

// The tab an outcome of the record speaks for, when it ends an action the operator started there.
std::optional<ActionFeedback::Place> PlaceOf(const AdminAction& action) {
    // A chat line's send names nobody; an announcement before a punt or ban names its player.
    switch (action.Action) {
        case ActionKind::Chat:
        case ActionKind::Command:
            if (action.Target.empty()) return ActionFeedback::Place::Chat;
            return std::nullopt;
        case ActionKind::Punt:
        case ActionKind::Ban:
        case ActionKind::Talk:
        case ActionKind::Warn:
        case ActionKind::BanListed:
            return ActionFeedback::Place::Players;
        case ActionKind::MatchTime:
        case ActionKind::ResetGames:
            return ActionFeedback::Place::Map;
        default:
            return std::nullopt;
    }
}

}  // namespace

ActionFeedback::ActionFeedback(Service& service, QTreeWidget* players, QWidget* parent)
    : QObject(parent), m_service(service), m_clock(service.Clock()), m_players(players) {
    for (size_t i = 0; i < m_labels.size(); ++i) {
        m_labels[i] = MakeLabel(QString::fromLatin1(kLabelNames[i]), QString(), parent);
        m_labels[i]->setToolTip(tr("What became of the last action on this tab"));
    }
    m_failures = MakeLabel(QStringLiteral("StatusBarFailures"), QString(), parent);
    m_failures->setFrameShape(QFrame::StyledPanel);
    m_failures->setFrameShadow(QFrame::Sunken);
    m_failures->setContentsMargins(4, 0, 4, 0);
    m_failures->setToolTip(
        tr("Punts, bans and web reports (status reports and stats uploads) that failed since "
           "Tovi stats started"));
    m_failed = {};
    CountFailure(m_failed.size());

    connect(&m_service, &Service::adminActionRecorded, this, &ActionFeedback::ActionRecorded);
    connect(&m_service, &Service::playersUpdated, this, &ActionFeedback::PlayersRead);
    connect(&m_service, &Service::transferEnded, this,
            [this](const std::string&, bool confirmed, const std::string&) {
                if (!confirmed) CountFailure(2);
            });
}

ActionFeedback::~ActionFeedback() {
    // The clock outlives the window.
    for (const std::optional<Scheduler::TimerId>& timer : m_hide)
        if (timer) m_clock.Cancel(*timer);
}

void ActionFeedback::Started(Place place, Done done) {
    const auto i = static_cast<size_t>(place);
    if (m_hide[i]) m_clock.Cancel(*m_hide[i]);
    m_hide[i].reset();
    m_waiting[i].push_back(std::move(done));
    m_labels[i]->setText(tr("sending…"));
    // The action may open with a question (a reason, a confirmation): once it is open, the line
    // waits for the answer instead of saying that something is being sent.
    QTimer::singleShot(0, this, [this, i] { Settle(i); });
}

void ActionFeedback::Settle(size_t i) {
    if (m_waiting[i].empty()) return;
    auto* question = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (!question) {
        m_labels[i]->setText(tr("sending…"));
        return;
    }
    m_labels[i]->setText(tr("waiting for your answer"));
    // After the answer, which may ask again (the next question opens once this one is handled).
    connect(question, &QDialog::finished, this, [this, i] { QTimer::singleShot(0, this, [this, i] { Settle(i); }); },
            Qt::SingleShotConnection);
}

void ActionFeedback::RemovalStarted(ActionKind action, const std::string& name) {
    m_removals[name] = Removal{action, false};
    MarkRows();
}

void ActionFeedback::ActionRecorded(const AdminAction& action) {
    if (action.Result == Outcome::Refused && (action.Action == ActionKind::Punt || action.Action == ActionKind::Ban))
        CountFailure(action.Action == ActionKind::Punt ? 0 : 1);
    if (action.Who != kOperatorAtWindow) return;
    // A ban from the list's presets is listed first and punted by the list.
    if (action.Action == ActionKind::Punt || action.Action == ActionKind::Ban || action.Action == ActionKind::BanListed) {
        if (auto removal = m_removals.find(action.Target); removal != m_removals.end()) {
            if (action.Result == Outcome::Sent)
                removal->second.Sent = true;
            else
                m_removals.erase(removal);
            MarkRows();
        }
    }
    const std::optional<Place> place = PlaceOf(action);
    if (!place) return;
    const std::string text = action.Result == Outcome::Sent      ? "sent"
                             : action.Result == Outcome::Refused ? "failed: " + action.Why
                                                                 : "not sent: " + action.Why;
    Finish(*place, action.Result == Outcome::Sent, text, action.Why);
}

void ActionFeedback::Finish(Place place, bool sent, const std::string& text, const std::string& why) {
    const auto i = static_cast<size_t>(place);
    if (m_waiting[i].empty()) return;  // not started at the window
    Done done = std::move(m_waiting[i].front());
    m_waiting[i].pop_front();
    m_labels[i]->setText(FromGameText(text));
    if (m_waiting[i].empty()) {
        m_hide[i] = m_clock.Schedule(kShowMs, [this, i] {
            m_hide[i].reset();
            m_labels[i]->clear();
        });
    }
    if (done) done(sent, why);
}

void ActionFeedback::PlayersRead() {
    // A punt or ban is over for whoever is no longer listed.
    std::erase_if(m_removals, [this](const auto& removal) {
        for (const PlayerRow& row : m_service.PlayerRows())
            if (row.Player == removal.first) return false;
        return true;
    });
    MarkRows();
}

void ActionFeedback::MarkRows() {
    // Looked up once, when first needed: the style asks the icon theme first, which on a desktop
    // without one searches its folders in vain at every player read.
    if (!m_removals.empty() && m_pendingIcon.isNull())
        m_pendingIcon = QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning);
    for (int row = 0; row < m_players->topLevelItemCount(); ++row) {
        QTreeWidgetItem* item = m_players->topLevelItem(row);
        const auto removal = m_removals.find(ToGameText(item->text(1)));
        // The tooltip holds the whole name first, whatever the column leaves of it.
        if (removal == m_removals.end()) {
            item->setIcon(1, QIcon());
            item->setToolTip(1, item->text(1));
            continue;
        }
        const QString what = removal->second.Action == ActionKind::Punt ? tr("Punt") : tr("Ban");
        item->setIcon(1, m_pendingIcon);
        item->setToolTip(1,
                         item->text(1) + QLatin1Char('\n') +
                             (removal->second.Sent ? tr("%1 sent: waiting for the player to leave").arg(what)
                                                   : tr("%1 pending: not sent yet").arg(what)));
    }
}

void ActionFeedback::CountFailure(size_t kind) {
    if (kind < m_failed.size()) ++m_failed[kind];
    auto count = [](int n, const char* one, const char* many) {
        return QStringLiteral("%1 %2").arg(n).arg(QString::fromLatin1(n == 1 ? one : many));
    };
    m_failures->setText(tr("Failed: %1, %2, %3")
                            .arg(count(m_failed[0], "punt", "punts"), count(m_failed[1], "ban", "bans"),
                                 count(m_failed[2], "report", "reports")));
}

}  // namespace tovi
