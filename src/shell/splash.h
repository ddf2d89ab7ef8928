#pragma once

#include <QDialog>
#include <QRect>
#include <QString>

#include <memory>

class QLabel;
class QProgressBar;
class QPropertyAnimation;
class QSequentialAnimationGroup;

// The splash shown at the start of every pass of the process loop: the image grows from a
// small rectangle into the centre of the primary screen, then a thin bar along its top
// edge fills. The dialog itself is fully transparent; it only provides the modal loop that
// holds the start-up sequence until both animations have run. The splash stays on screen
// until hideSplash().
class Splash : public QDialog
{
    Q_OBJECT

public:
    static constexpr int kGeometryDurationMs = 300;
    static constexpr int kBarDurationMs = 1000;
    static constexpr int kBarHeight = 20;

    Splash();
    // Test seam: another image (a missing file gives an empty pixmap and a 0 x 0 splash).
    explicit Splash(const QString &imagePath);
    ~Splash() override;

    // Builds the splash, runs both animations and returns once they have finished.
    void showAnimation();
    // Hides the splash; called once the start-up check is done.
    void hideSplash();

    // Test seam: multiplies both durations (1.0 in the product) so suites that run the
    // whole start-up need not wait 1.3 s per pass.
    static void setDurationScale(double scale);
    static double durationScale();

    // What the last showAnimation() built (null before the first call).
    QLabel *splashLabel() const { return m_splash.get(); }
    QProgressBar *progressBar() const { return m_bar; }
    QPropertyAnimation *geometryAnimation() const { return m_geometry; }
    QPropertyAnimation *barAnimation() const { return m_barFill; }
    QSequentialAnimationGroup *animationGroup() const { return m_group.get(); }

    // The splash's start and end rectangles for an image of the given size on a screen of
    // the given size.
    static QRect startRect(const QSize &image);
    static QRect centredRect(const QSize &image, const QSize &screen);

private:
    static int scaled(int ms);

    QString m_imagePath;
    // The splash is a top-level window of its own (no parent widget), so the dialog owns
    // it here; the bar is the splash's child. The group is declared last so it goes first.
    std::unique_ptr<QLabel> m_splash;
    QProgressBar *m_bar = nullptr;
    std::unique_ptr<QSequentialAnimationGroup> m_group;
    QPropertyAnimation *m_geometry = nullptr;
    QPropertyAnimation *m_barFill = nullptr;
};
