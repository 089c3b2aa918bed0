#include "window/Main.h"

#include "platform/UiServices.h"

#include <QRandomGenerator>
#include <QTime>

#include <cmath>
#include <memory>

RandomSource timeSeededRandom()
{
    const quint32 seed = quint32(QTime::currentTime().msecsSinceStartOfDay());
    auto generator = std::make_shared<QRandomGenerator>(seed);
    return [generator] {
        return generator->generateDouble();
    };
}

void RandomHomePage(UiServices &ui, const RandomSource &random, const QString &homePage)
{
    const int n = int(std::floor(random() * 100)) + 1;
    if (n == 7)
        ui.openUrl(homePage);
}
