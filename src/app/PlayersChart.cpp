#include "PlayersChart.h"

#include <QDateTime>
#include <QLabel>

#include "HistoryReader.h"
#include "PlayersOverTime.h"

#if TOVI_PLAYERS_CHART
#include <QChart>
#include <QChartView>
#include <QDateTimeAxis>
#include <QEvent>
#include <QHBoxLayout>
#include <QResizeEvent>
#include <QLineSeries>
#include <QScatterSeries>
#include <QTime>
#include <QTimer>
#include <QValueAxis>
#include <algorithm>
#endif

namespace tovi {

#if TOVI_PLAYERS_CHART

namespace {

constexpr int64_t kDaySeconds = 24 * 60 * 60;
constexpr int kRefreshMs = 60 * 1000;

// One chart: the count as steps, and the match ends as points on it.
class CountView : public QChartView {
public:
    // The view owns the chart it is made with; one given later would leave the default one behind.
    CountView(const QString& name, const QString& suffix, QWidget* parent) : QChartView(new QChart, parent) {
        setObjectName(name);
        setRenderHint(QPainter::Antialiasing);
        QChart* chart = this->chart();
        // A theme set later would restyle the axes after their room was measured: it comes first.
        FollowPalette();
        chart->setBackgroundRoundness(0);
        chart->setMargins(QMargins(2, 2, 2, 2));
        chart->legend()->setAlignment(Qt::AlignBottom);
        m_players = new QLineSeries(chart);
        m_players->setObjectName(QStringLiteral("serPlayers") + suffix);
        m_ends = new QScatterSeries(chart);
        m_ends->setObjectName(QStringLiteral("serMatchEnds") + suffix);
        m_ends->setName(tr("Match ends"));
        m_ends->setMarkerSize(8);
        chart->addSeries(m_players);
        chart->addSeries(m_ends);
        m_time = new QDateTimeAxis(chart);
        m_time->setFormat(QStringLiteral("HH:mm"));
        m_time->setTickCount(5);
        m_count = new QValueAxis(chart);
        m_count->setLabelFormat(QStringLiteral("%i"));
        // Measured before the first range is set, labels would stay cut to "..." for good.
        m_count->setTruncateLabels(false);
        m_count->setTitleText(tr("Players"));
        chart->addAxis(m_time, Qt::AlignBottom);
        chart->addAxis(m_count, Qt::AlignLeft);
        for (QAbstractSeries* series : {static_cast<QAbstractSeries*>(m_players), static_cast<QAbstractSeries*>(m_ends)}) {
            series->attachAxis(m_time);
            series->attachAxis(m_count);
        }
    }

    // The axis runs over [axisFrom, axisTo], which may reach beyond the series (the day's to the
    // next full hour, so that its lines fall on whole hours).
    void Show(const QString& caption, const PlayerCountSeries& series, int64_t axisFrom, int64_t axisTo) {
        m_players->setName(caption);
        QList<QPointF> steps;
        steps.reserve(static_cast<qsizetype>(series.Points.size() * 2));
        for (const PlayerCount& p : series.Points) {
            const auto x = static_cast<qreal>(p.Time) * 1000;
            if (!steps.isEmpty() && steps.last().y() != p.Players) steps.append(QPointF(x, steps.last().y()));
            steps.append(QPointF(x, p.Players));
        }
        m_players->replace(steps);
        QList<QPointF> ends;
        for (const PlayerCount& e : series.MatchEnds) ends.append(QPointF(static_cast<qreal>(e.Time) * 1000, e.Players));
        m_ends->replace(ends);
        m_time->setRange(QDateTime::fromSecsSinceEpoch(axisFrom), QDateTime::fromSecsSinceEpoch(axisTo));
        m_wholeDay = axisTo - axisFrom == kDaySeconds;
        // A short match is told apart by its seconds.
        m_time->setFormat(axisTo - axisFrom <= 10 * 60 ? QStringLiteral("HH:mm:ss") : QStringLiteral("HH:mm"));
        FitTimeLabels();
        // Whole players, a few lines apart, with room above the peak.
        const int top = std::max(4, series.Peak + 1 + (4 - (series.Peak + 1) % 4) % 4);
        m_count->setRange(0, top);
        m_count->setTickCount(5);
    }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QChartView::resizeEvent(event);
        FitTimeLabels();
    }
    void changeEvent(QEvent* event) override {
        QChartView::changeEvent(event);
        if (event->type() == QEvent::PaletteChange) FollowPalette();
    }

private:
    // As many times along the axis as fit side by side with room between them.
    void FitTimeLabels() {
        const int label = fontMetrics().horizontalAdvance(m_time->format() + QStringLiteral("0000"));
        const int fit = std::clamp(width() / std::max(label, 1), 2, 13);
        if (!m_wholeDay) return m_time->setTickCount(std::min(fit, 7));
        // A day's lines every 2, 4, 6, 8, 12 or 24 hours.
        for (int ticks : {13, 7, 5, 4, 3, 2}) {
            if (ticks <= fit) return m_time->setTickCount(ticks);
        }
    }

    // The chart's own themes, matched to a light or a dark palette.
    void FollowPalette() {
        const bool dark = palette().color(QPalette::Window).lightness() < 128;
        chart()->setTheme(dark ? QChart::ChartThemeDark : QChart::ChartThemeLight);
        chart()->setBackgroundBrush(palette().brush(QPalette::Base));
    }

    QLineSeries* m_players;
    QScatterSeries* m_ends;
    QDateTimeAxis* m_time;
    QValueAxis* m_count;
    bool m_wholeDay = false;
};

class PlayersChart : public QWidget {
public:
    PlayersChart(HistoryReader& reader, SecondsClock now, QWidget* parent)
        : QWidget(parent), m_reader(reader), m_now(std::move(now)) {
        setObjectName(QStringLiteral("fraPlayersChart"));
        auto* layout = new QHBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        m_day = new CountView(QStringLiteral("chtPlayersDay"), QStringLiteral("Day"), this);
        m_match = new CountView(QStringLiteral("chtPlayersMatch"), QStringLiteral("Match"), this);
        layout->addWidget(m_day, 3);
        layout->addWidget(m_match, 2);
        setMinimumHeight(fontMetrics().height() * 12);
        m_timer.setInterval(kRefreshMs);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] { Refresh(); });
    }

protected:
    // Read when the tab comes into view and once a minute while it stays there, never when hidden.
    void showEvent(QShowEvent* event) override {
        QWidget::showEvent(event);
        Refresh();
        m_timer.start();
    }
    void hideEvent(QHideEvent* event) override {
        QWidget::hideEvent(event);
        m_timer.stop();
    }

private:
    void Refresh() {
        const int64_t now = m_now ? m_now() : QDateTime::currentSecsSinceEpoch();
        // The day's window takes in the match under way, whenever it began.
        m_reader.Activity(this, 0, now - kDaySeconds, {}, [this, now](const PlayerActivity& activity) {
            Show(activity, now);
        });
    }

    void Show(const PlayerActivity& activity, int64_t now) {
        QDateTime hour = QDateTime::fromSecsSinceEpoch(now).addSecs(60 * 60);
        hour.setTime(QTime(hour.time().hour(), 0));
        const int64_t dayEnd = std::max<int64_t>(now, hour.toSecsSinceEpoch());
        m_day->Show(tr("Last 24 hours"), PlayersOverTime(activity, now - kDaySeconds, now), dayEnd - kDaySeconds, dayEnd);
        if (const std::optional<MatchSpan> match = LatestMatch(activity, now)) {
            m_match->Show(match->UnderWay ? tr("This match") : tr("Last match"),
                          PlayersOverTime(activity, match->From, match->To), match->From, match->To);
        } else {
            m_match->Show(tr("No match yet"), PlayersOverTime({}, now - 60, now), now - 60, now);
        }
    }

    HistoryReader& m_reader;
    SecondsClock m_now;
    CountView* m_day;
    CountView* m_match;
    QTimer m_timer;
};

}  // namespace

QWidget* MakePlayersChart(HistoryReader& reader, QWidget* parent, SecondsClock now) {
    return new PlayersChart(reader, std::move(now), parent);
}

#else

QWidget* MakePlayersChart(HistoryReader&, QWidget* parent, SecondsClock) {
    auto* label = new QLabel(QObject::tr("The players chart needs Qt Charts, which this build lacks."), parent);
    label->setObjectName(QStringLiteral("fraPlayersChart"));
    return label;
}

#endif

}  // namespace tovi
