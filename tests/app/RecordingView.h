#pragma once

#include "app/LauncherView.h"

#include <QStringList>

// The window as plain values, so controller tests read what a player would see.
struct RecordingView : LauncherView {
    QString status, detail, footer, buttonTitle;
    std::optional<QString> detailToolTip;
    bool progressHidden = true, progressIndeterminate = false, progressAnimating = false;
    double progressValue = 0;
    bool buttonEnabled = false, logButtonHidden = true, pickerEnabled = true, visible = false;
    int selectedIndex = -1;
    int attentionRequests = 0;
    QList<LogFiles> shownLogs;

    void setStatusText(const QString& text) override { status = text; }
    void setDetailText(const QString& text) override { detail = text; }
    void setDetailToolTip(const std::optional<QString>& toolTip) override {
        detailToolTip = toolTip;
    }
    void setFooterText(const QString& text) override { footer = text; }
    void setFooterToolTip(const QString&) override {}
    void setProgressHidden(bool hidden) override { progressHidden = hidden; }
    void setProgressIndeterminate(bool on) override { progressIndeterminate = on; }
    void setProgressAnimating(bool on) override { progressAnimating = on; }
    void setProgressValue(double value) override { progressValue = value; }
    void setButtonTitle(const QString& title) override { buttonTitle = title; }
    void setButtonEnabled(bool enabled) override { buttonEnabled = enabled; }
    void setButtonHelp(const QString&) override {}
    void redrawButton() override {}
    void setLogButtonHidden(bool hidden) override { logButtonHidden = hidden; }
    void addRegionItems(const QStringList&) override {}
    void selectRegionIndex(int index) override { selectedIndex = index; }
    int selectedRegionIndex() const override { return selectedIndex; }
    void setRegionPickerEnabled(bool enabled) override { pickerEnabled = enabled; }
    void showWindow() override { visible = true; }
    void bringWindowToFront(const QString&) override { visible = true; }
    void hideWindow() override { visible = false; }
    bool isWindowVisible() const override { return visible; }
    void requestAttention() override { ++attentionRequests; }
    void openFile(const QString&) override {}
    void showLog(const LogFiles& files) override { shownLogs.append(files); }
};
