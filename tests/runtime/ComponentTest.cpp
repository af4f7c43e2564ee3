#include "runtime/Component.h"
#include "runtime/Exception.h"

#include <gtest/gtest.h>

#include <QStringList>

namespace {

// A component that records what it is told and, like a port, notifies from its own destructor.
class TProbe : public QObject, public TComponent {
public:
    explicit TProbe(QString name, QStringList* log, QObject* owner = nullptr)
        : QObject(owner), TComponent(this), m_log(log) {
        setObjectName(name);
    }
    ~TProbe() override {
        // Still whole here: listeners may call back into this object.
        NotifyRemoval();
    }
    void Loaded() override {
        TComponent::Loaded();
        m_log->append(Name() + ".Loaded");
    }
    TProbe* Watched = nullptr;

protected:
    void Notification(TComponent* c, TOperation op) override {
        if (op == TOperation::opRemove) {
            auto* probe = dynamic_cast<TProbe*>(c);
            m_log->append(Name() + " told " + probe->Name() + " goes");
            if (probe == Watched)
                Watched = nullptr;
        }
    }

private:
    QStringList* m_log;
};

} // namespace

TEST(Component, FreeNotificationReachesEveryWatcherOnceAndWatcherMayGoFirst) {
    QStringList log;
    auto* port = new TProbe("port", &log);
    auto* a = new TProbe("a", &log);
    auto* b = new TProbe("b", &log);
    a->Watched = port;
    b->Watched = port;
    a->FreeNotification(port);
    a->FreeNotification(port); // twice is still one registration
    b->FreeNotification(port);

    delete b; // a watcher that goes first must not be told later
    delete port;
    EXPECT_EQ(log, QStringList{"a told port goes"});
    EXPECT_EQ(a->Watched, nullptr);
    delete a;
}

TEST(Component, LoadingFlagEndsWithLoadedInCreationOrder) {
    QStringList log;
    QObject owner;
    auto* first = new TProbe("first", &log, &owner);
    auto* second = new TProbe("second", &log, &owner);
    first->BeginLoading();
    second->BeginLoading();
    EXPECT_TRUE(first->Loading());
    LoadComponents({first, second});
    EXPECT_FALSE(first->Loading());
    EXPECT_FALSE(second->Loading());
    EXPECT_EQ(log, (QStringList{"first.Loaded", "second.Loaded"}));
    EXPECT_EQ(second->Owner(), &owner);
    EXPECT_EQ(TComponent::From(second), second);
}

TEST(ExceptionReport, GuardedCallReportsMessageAndGoesOn) {
    QStringList shown;
    auto previous = SetExceptionReporter([&](const QString& m) { shown.append(m); });
    GuardedCall([] { throw Exception("Disk full"); });
    GuardedCall([] { throw std::runtime_error("plain"); });
    bool ran = false;
    GuardedCall([&] { ran = true; });
    SetExceptionReporter(previous);
    EXPECT_TRUE(ran);
    EXPECT_EQ(shown, (QStringList{"Disk full", "plain"}));
}
