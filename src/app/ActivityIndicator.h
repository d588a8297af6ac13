#pragma once

#include <QWidget>

class QTimer;

// A spinning ring shown over a list while it loads. It never takes the mouse:
// clicks go to whatever lies below it.
class TActivityIndicator : public QWidget {
    Q_OBJECT

public:
    explicit TActivityIndicator(QWidget* AParent = nullptr);

    void SetAnimating(bool AAnimating);
    bool IsAnimating() const;

protected:
    void paintEvent(QPaintEvent* AEvent) override;
    void showEvent(QShowEvent* AEvent) override;
    void hideEvent(QHideEvent* AEvent) override;

private:
    void UpdateTimer();

    QTimer* FTimer = nullptr;
    bool FAnimating = false;
    int FAngle = 0;
};
