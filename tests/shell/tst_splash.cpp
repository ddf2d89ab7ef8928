#include "shell/splash.h"
#include "testenv.h"

#include <QCursor>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPropertyAnimation>
#include <QScreen>
#include <QSequentialAnimationGroup>
#include <QTimer>
#include <QtTest>

#include <memory>

class TestSplash : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void geometryHelpers();
    void runsBothAnimationsBeforeReturning();
    void splashStaysUntilHidden();
    void centresOnPrimaryScreen();
    void missingImageStillRuns();
    void durationScaleShortensRun();

private:
    static QSize primarySize() { return QGuiApplication::primaryScreen()->size(); }
    std::unique_ptr<TestEnv> m_env;
};

void TestSplash::initTestCase()
{
    Q_INIT_RESOURCE(resources);
    m_env = std::make_unique<TestEnv>();
    QVERIFY(QGuiApplication::primaryScreen());
    QVERIFY2(!QPixmap(QStringLiteral(":/startup.jpg")).isNull(), "splash resource not loadable");
}

void TestSplash::cleanup()
{
    Splash::setDurationScale(1.0);
}

void TestSplash::geometryHelpers()
{
    // Integer division on odd sizes.
    QCOMPARE(Splash::startRect(QSize(481, 273)), QRect(100, 100, 96, 54));
    QCOMPARE(Splash::centredRect(QSize(481, 273), QSize(1280, 801)),
             QRect(399, 264, 481, 273));
    // An image larger than the screen starts off-screen to the top-left.
    QCOMPARE(Splash::centredRect(QSize(900, 700), QSize(800, 600)),
             QRect(-50, -50, 900, 700));
    QCOMPARE(Splash::startRect(QSize()), QRect(100, 100, 0, 0));
}

void TestSplash::runsBothAnimationsBeforeReturning()
{
    Splash anim;
    QCOMPARE(anim.windowOpacity(), 0.0);
    QVERIFY(!anim.parent());

    // While the modal loop runs, sample what is happening so the order can be checked.
    int geometryRunningSeen = 0, barRunningSeen = 0, bothRunningSeen = 0;
    bool barMovedDuringGeometry = false;
    QTimer sampler;
    sampler.setInterval(10);
    connect(&sampler, &QTimer::timeout, this, [&] {
        if (!anim.geometryAnimation())
            return;
        const bool g = anim.geometryAnimation()->state() == QAbstractAnimation::Running;
        const bool b = anim.barAnimation()->state() == QAbstractAnimation::Running;
        geometryRunningSeen += g;
        barRunningSeen += b;
        bothRunningSeen += g && b;
        if (g && anim.progressBar()->value() > 0)
            barMovedDuringGeometry = true;
    });
    sampler.start();

    anim.showAnimation();
    sampler.stop();

    QVERIFY(anim.splashLabel());
    QCOMPARE(anim.geometryAnimation()->duration(), 300);
    QCOMPARE(anim.barAnimation()->duration(), 1000);
    QCOMPARE(anim.geometryAnimation()->propertyName(), QByteArray("geometry"));
    QCOMPARE(anim.geometryAnimation()->targetObject(), anim.splashLabel());
    QCOMPARE(anim.barAnimation()->propertyName(), QByteArray("value"));
    QCOMPARE(anim.barAnimation()->targetObject(), anim.progressBar());
    QCOMPARE(anim.barAnimation()->startValue().toInt(), 0);
    QCOMPARE(anim.barAnimation()->endValue().toInt(), 100);

    QSequentialAnimationGroup *group = anim.animationGroup();
    QCOMPARE(group->animationCount(), 2);
    QCOMPARE(group->animationAt(0), anim.geometryAnimation());
    QCOMPARE(group->animationAt(1), anim.barAnimation());

    // Returned only after both had run to their ends.
    QCOMPARE(group->state(), QAbstractAnimation::Stopped);
    QCOMPARE(group->currentTime(), 1300);
    QCOMPARE(anim.progressBar()->value(), 100);
    QCOMPARE(anim.splashLabel()->geometry(), anim.geometryAnimation()->endValue().toRect());
    // The modal loop really ran both animations: each was seen running, never together.
    QVERIFY(geometryRunningSeen > 0);
    QVERIFY(barRunningSeen > 0);
    QCOMPARE(bothRunningSeen, 0);
    QVERIFY(!barMovedDuringGeometry);
    QVERIFY(!anim.isVisible());
}

void TestSplash::splashStaysUntilHidden()
{
    Splash anim;
    anim.showAnimation();
    QLabel *splash = anim.splashLabel();
    QVERIFY(splash->isVisible());
    QVERIFY(splash->isWindow());
    QVERIFY(!splash->parentWidget());
    QVERIFY(splash->hasScaledContents());
    const Qt::WindowFlags f = splash->windowFlags();
    QCOMPARE(f & Qt::WindowType_Mask, Qt::Dialog);
    QVERIFY(f.testFlag(Qt::FramelessWindowHint));
    QVERIFY(f.testFlag(Qt::WindowTitleHint));

    QProgressBar *bar = anim.progressBar();
    QCOMPARE(bar->parentWidget(), splash);
    QVERIFY(!bar->isTextVisible());
    const QPixmap image(QStringLiteral(":/startup.jpg"));
    QCOMPARE(bar->geometry(), QRect(0, 0, image.width(), 20));
    QCOMPARE(splash->size(), image.size());
    QCOMPARE(splash->pixmap(Qt::ReturnByValue).size(), image.size());
    QVERIFY(bar->isVisible());

    // Events after the animation do not take the splash away either.
    QTest::qWait(50);
    QVERIFY(splash->isVisible());

    anim.hideSplash();
    QVERIFY(!splash->isVisible());
}

void TestSplash::centresOnPrimaryScreen()
{
    // Put the pointer away from the centre; the splash must not follow it.
    QCursor::setPos(QGuiApplication::primaryScreen(), QPoint(5, 5));
    Splash anim;
    anim.showAnimation();
    const QPixmap image(QStringLiteral(":/startup.jpg"));
    const int w = image.width(), h = image.height();
    const QSize screen = primarySize();
    const QRect expected((screen.width() - w) / 2, (screen.height() - h) / 2, w, h);
    QCOMPARE(anim.geometryAnimation()->startValue().toRect(), QRect(100, 100, w / 5, h / 5));
    QCOMPARE(anim.geometryAnimation()->endValue().toRect(), expected);
    QCOMPARE(anim.splashLabel()->geometry(), expected);
    QCOMPARE(anim.splashLabel()->frameGeometry().center(), expected.center());
    anim.hideSplash();
}

void TestSplash::missingImageStillRuns()
{
    Splash::setDurationScale(0.05);
    Splash anim(QStringLiteral(":/no-such-image.jpg"));
    anim.showAnimation();
    QCOMPARE(anim.splashLabel()->pixmap(Qt::ReturnByValue).size(), QSize(0, 0));
    QCOMPARE(anim.geometryAnimation()->startValue().toRect(), QRect(100, 100, 0, 0));
    const QSize screen = primarySize();
    QCOMPARE(anim.geometryAnimation()->endValue().toRect(),
             QRect(screen.width() / 2, screen.height() / 2, 0, 0));
    QCOMPARE(anim.progressBar()->geometry().width(), 0);
    QCOMPARE(anim.animationGroup()->state(), QAbstractAnimation::Stopped);
    QCOMPARE(anim.progressBar()->value(), 100);
    anim.hideSplash();
}

void TestSplash::durationScaleShortensRun()
{
    Splash::setDurationScale(0.1);
    Splash anim;
    anim.showAnimation();
    QCOMPARE(anim.geometryAnimation()->duration(), 30);
    QCOMPARE(anim.barAnimation()->duration(), 100);
    QCOMPARE(anim.progressBar()->value(), 100);
    QCOMPARE(anim.animationGroup()->state(), QAbstractAnimation::Stopped);

    // A second run on the same object builds a fresh splash and still completes.
    QPointer<QLabel> first = anim.splashLabel();
    anim.showAnimation();
    QVERIFY(first.isNull());
    QVERIFY(anim.splashLabel()->isVisible());
    QCOMPARE(anim.progressBar()->value(), 100);
    anim.hideSplash();
}

QTEST_MAIN(TestSplash)
#include "tst_splash.moc"
