#pragma once

#include "app/LauncherView.h"

#include <QStringList>

// The window as plain values, so controller tests read what a player would see.
struct RecordingView : LauncherView {
    QString status;
    QString detail;
    std::optional<QString> detailToolTip;
    QString footer;
    QString footerToolTip;
    bool progressHidden = true;
    bool progressIndeterminate = false;
    bool progressAnimating = false;
    double progressValue = 0;
    QString buttonTitle;
    bool buttonEnabled = false;
    QString buttonHelp;
    int buttonRedraws = 0;
    bool logButtonHidden = true;
    QStringList regionItems;
    int selectedIndex = -1;
    bool pickerEnabled = true;
    bool visible = false;
    int timesShown = 0;
    int timesHidden = 0;
    int attentionRequests = 0;
    QStringList openedFiles;
    QStringList activationTokens;
    QList<LogFiles> shownLogs;

    void setStatusText(const QString& text) override { status = text; }
    void setDetailText(const QString& text) override { detail = text; }
    void setDetailToolTip(const std::optional<QString>& toolTip) override {
        detailToolTip = toolTip;
    }
    void setFooterText(const QString& text) override { footer = text; }
    void setFooterToolTip(const QString& toolTip) override { footerToolTip = toolTip; }
    void setProgressHidden(bool hidden) override { progressHidden = hidden; }
    void setProgressIndeterminate(bool indeterminate) override {
        progressIndeterminate = indeterminate;
    }
    void setProgressAnimating(bool animating) override { progressAnimating = animating; }
    void setProgressValue(double value) override { progressValue = value; }
    void setButtonTitle(const QString& title) override { buttonTitle = title; }
    void setButtonEnabled(bool enabled) override { buttonEnabled = enabled; }
    void setButtonHelp(const QString& help) override { buttonHelp = help; }
    void redrawButton() override { ++buttonRedraws; }
    void setLogButtonHidden(bool hidden) override { logButtonHidden = hidden; }
    void addRegionItems(const QStringList& titles) override { regionItems += titles; }
    void selectRegionIndex(int index) override { selectedIndex = index; }
    int selectedRegionIndex() const override { return selectedIndex; }
    void setRegionPickerEnabled(bool enabled) override { pickerEnabled = enabled; }
    void showWindow() override {
        visible = true;
        ++timesShown;
    }
    void bringWindowToFront(const QString& activationToken) override {
        showWindow();
        activationTokens.append(activationToken);
    }
    void hideWindow() override {
        visible = false;
        ++timesHidden;
    }
    bool isWindowVisible() const override { return visible; }
    void requestAttention() override { ++attentionRequests; }
    void openFile(const QString& path) override { openedFiles.append(path); }
    void showLog(const LogFiles& files) override { shownLogs.append(files); }
};
