// The operator's reads of the record off the event loop: where a search runs, which answers reach
// the asker, and the fallback to the event loop when no read store can be opened.
#include <QtTest>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "HistoryReader.h"

using namespace tovi;

namespace {

// A store that says which thread searched it, and can hold a search until let go.
struct Witness {
    std::mutex Mutex;
    std::vector<std::string> Searched;  // the texts searched, in order
    std::thread::id SearchedOn;
    std::atomic<bool> Hold{false};
    std::atomic<bool> Holding{false};
};

class WitnessStore : public NoHistory {
public:
    explicit WitnessStore(Witness& witness) : m_witness(witness) {}
    std::vector<HistoryRow> Search(const HistoryQuery& query) override {
        {
            std::lock_guard lock(m_witness.Mutex);
            m_witness.Searched.push_back(query.Text);
            m_witness.SearchedOn = std::this_thread::get_id();
        }
        m_witness.Holding = true;
        while (m_witness.Hold) std::this_thread::yield();
        m_witness.Holding = false;
        return {HistoryRow{"chat", 1, "Ann", query.Text, {}, 0, std::nullopt}};
    }

private:
    Witness& m_witness;
};

}  // namespace

class HistoryReaderTest : public QObject {
    Q_OBJECT
private slots:
    // A search runs on the reader's thread and its answer reaches the asker on the event loop; a
    // newer question in the same slot overtakes older ones, waiting or under way; an asker that
    // is gone gets nothing.
    void searchesRunOffTheEventLoopAndOnlyTheNewestAnswerIsShown() {
        Witness witness;
        NoHistory own;
        HistoryReader reader([&own]() -> HistoryStore& { return own; });
        reader.Start([&witness] { return std::make_unique<WitnessStore>(witness); });
        QVERIFY(reader.Threaded());

        QObject asker;
        std::vector<std::string> shown;
        std::vector<std::thread::id> shownOn;
        auto ask = [&](const std::string& text) {
            HistoryQuery query;
            query.Text = text;
            reader.Search(&asker, 0, query, [&](HistoryResult found) {
                shown.push_back(found.Rows.at(0).Text);
                shownOn.push_back(std::this_thread::get_id());
            });
        };
        ask("first");
        QTRY_COMPARE_WITH_TIMEOUT(shown.size(), size_t{1}, 30000);
        QCOMPARE(shown[0], std::string("first"));
        QVERIFY(witness.SearchedOn != std::this_thread::get_id());
        QVERIFY(shownOn[0] == std::this_thread::get_id());

        // One under way, held; two more asked meanwhile: the middle one is never read, and the
        // one under way is not shown once it ends.
        witness.Hold = true;
        ask("slow");
        QTRY_VERIFY_WITH_TIMEOUT(witness.Holding.load(), 30000);
        ask("old");
        ask("new");
        witness.Hold = false;
        QTRY_COMPARE_WITH_TIMEOUT(shown.size(), size_t{2}, 30000);
        QCOMPARE(shown[1], std::string("new"));
        {
            std::lock_guard lock(witness.Mutex);
            QVERIFY(witness.Searched == (std::vector<std::string>{"first", "slow", "new"}));
        }

        // Another slot is not overtaken; an asker gone before its answer gets none.
        auto gone = std::make_unique<QObject>();
        bool goneAnswered = false;
        reader.Search(gone.get(), 0, HistoryQuery{}, [&](HistoryResult) { goneAnswered = true; });
        bool otherAnswered = false;
        reader.Search(&asker, 1, HistoryQuery{}, [&](HistoryResult) { otherAnswered = true; });
        gone.reset();
        QTRY_VERIFY_WITH_TIMEOUT(otherAnswered, 30000);
        QCoreApplication::processEvents();
        QVERIFY(!goneAnswered);
        QCOMPARE(shown.size(), size_t{2});
    }

    // No read store: reads run through the program's own store on the event loop, and say why
    // they failed as the store says it.
    void withoutAReadStoreReadsRunOnTheEventLoop() {
        Witness witness;
        WitnessStore own(witness);
        HistoryReader reader([&own]() -> HistoryStore& { return own; });
        reader.Start([] { return std::unique_ptr<HistoryStore>(); });
        QObject asker;
        std::vector<std::string> shown;
        HistoryQuery query;
        query.Text = "gg";
        reader.Search(&asker, 0, query, [&](HistoryResult found) { shown.push_back(found.Rows.at(0).Text); });
        QTRY_COMPARE_WITH_TIMEOUT(shown.size(), size_t{1}, 30000);
        QVERIFY(witness.SearchedOn == std::this_thread::get_id());
        // Once the reader knows it has no store, a read is answered at once.
        QTRY_VERIFY_WITH_TIMEOUT(!reader.Threaded(), 30000);
        reader.Search(&asker, 0, query, [&](HistoryResult found) { shown.push_back(found.Rows.at(0).Text); });
        QCOMPARE(shown.size(), size_t{2});
    }
};

QTEST_GUILESS_MAIN(HistoryReaderTest)
#include "HistoryReaderTest.moc"
