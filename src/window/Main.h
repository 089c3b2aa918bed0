#pragma once

#include <QString>

#include <functional>

class UiServices;

// A uniform number in [0, 1).
using RandomSource = std::function<double()>;

// The generator of a start: seeded once from the time of day.
RandomSource timeSeededRandom();

// In one start out of a hundred, opens the product's home page in the browser.
void RandomHomePage(UiServices &ui, const RandomSource &random, const QString &homePage);
