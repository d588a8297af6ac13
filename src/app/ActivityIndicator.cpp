#include "app/ActivityIndicator.h"

#include <QPainter>
#include <QTimer>

#include <algorithm>

TActivityIndicator::TActivityIndicator(QWidget* AParent) : QWidget(AParent) {
    setObjectName(QStringLiteral("TActivityIndicator"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    FTimer = new QTimer(this);
    FTimer->setInterval(40);
    connect(FTimer, &QTimer::timeout, this, [this] {
        FAngle = (FAngle + 30) % 360;
        update();
    });
}

void TActivityIndicator::SetAnimating(bool AAnimating) {
    FAnimating = AAnimating;
    UpdateTimer();
}

bool TActivityIndicator::IsAnimating() const {
    return FAnimating;
}

// The timer only runs while there is something to see.
void TActivityIndicator::UpdateTimer() {
    if (FAnimating && isVisible())
        FTimer->start();
    else
        FTimer->stop();
}

void TActivityIndicator::showEvent(QShowEvent* AEvent) {
    QWidget::showEvent(AEvent);
    UpdateTimer();
}

void TActivityIndicator::hideEvent(QHideEvent* AEvent) {
    QWidget::hideEvent(AEvent);
    UpdateTimer();
}

void TActivityIndicator::paintEvent(QPaintEvent*) {
    QPainter Painter(this);
    Painter.setRenderHint(QPainter::Antialiasing);
    Painter.fillRect(rect(), QColor(34, 43, 51, 160));
    const int Side = std::min({width(), height(), 48});
    if (Side < 8)
        return;
    const QRectF Ring((width() - Side) / 2.0 + 3, (height() - Side) / 2.0 + 3, Side - 6, Side - 6);
    constexpr int Segments = 12;
    for (int I = 0; I < Segments; ++I) {
        QColor Color(127, 212, 255);
        Color.setAlphaF(0.15 + 0.85 * I / (Segments - 1));
        QPen Pen(Color, 4, Qt::SolidLine, Qt::RoundCap);
        Painter.setPen(Pen);
        const int Start = -(FAngle + I * (360 / Segments));
        Painter.drawArc(Ring, Start * 16, -(360 / Segments - 8) * 16);
    }
}
