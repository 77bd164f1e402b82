#include "records/records.h"

namespace norvix {
namespace {

// Record members of the bar's prices and volumes, in keyword order.
constexpr Field kBarNumbers[] = {
    {Name::open_price, Conversion::required},    {Name::high_price, Conversion::required},
    {Name::low_price, Conversion::required},     {Name::close_price, Conversion::required},
    {Name::volume, Conversion::optional},        {Name::turnover, Conversion::optional},
    {Name::open_interest, Conversion::optional},
};

// Record members of the tick's name and numbers, in keyword order.  The
// day's open, high and low arrive as `open`, `high` and `low`.
constexpr Field kTickFields[] = {
    {Name::name, Conversion::text},
    {Name::volume, Conversion::optional},
    {Name::turnover, Conversion::optional},
    {Name::open_interest, Conversion::optional},
    {Name::last_price, Conversion::optional},
    {Name::last_volume, Conversion::optional},
    {Name::limit_up, Conversion::optional},
    {Name::limit_down, Conversion::optional},
    {Name::open, Conversion::optional},
    {Name::high, Conversion::optional},
    {Name::low, Conversion::optional},
    {Name::pre_close, Conversion::optional},
    {Name::bid_price_1, Conversion::optional},
    {Name::bid_price_2, Conversion::optional},
    {Name::bid_price_3, Conversion::optional},
    {Name::bid_price_4, Conversion::optional},
    {Name::bid_price_5, Conversion::optional},
    {Name::ask_price_1, Conversion::optional},
    {Name::ask_price_2, Conversion::optional},
    {Name::ask_price_3, Conversion::optional},
    {Name::ask_price_4, Conversion::optional},
    {Name::ask_price_5, Conversion::optional},
    {Name::bid_volume_1, Conversion::optional},
    {Name::bid_volume_2, Conversion::optional},
    {Name::bid_volume_3, Conversion::optional},
    {Name::bid_volume_4, Conversion::optional},
    {Name::bid_volume_5, Conversion::optional},
    {Name::ask_volume_1, Conversion::optional},
    {Name::ask_volume_2, Conversion::optional},
    {Name::ask_volume_3, Conversion::optional},
    {Name::ask_volume_4, Conversion::optional},
    {Name::ask_volume_5, Conversion::optional},
};

constexpr int kBarCount = sizeof(kBarNumbers) / sizeof(kBarNumbers[0]);
constexpr int kTickCount = sizeof(kTickFields) / sizeof(kTickFields[0]);
static_assert(kTickCount == 32);

}  // namespace

const RecordShape kDayBars = {
    {Name::trading_date, false, kBarNumbers, kBarCount}, Name::BarData, Kw::bar, Name::DAILY};
const RecordShape kMinuteBars = {
    {Name::trading_datetime, true, kBarNumbers, kBarCount}, Name::BarData, Kw::bar, Name::MINUTE};
const RecordShape kTicks = {{Name::trading_datetime, true, kTickFields, kTickCount},
                            Name::TickData,
                            Kw::tick,
                            Name::count_};

int BarHead::operator()(PyObject** args, Ref* hold) noexcept {
    Ref intervals = load_global(ctx_, Name::Interval);
    if (!intervals) return -1;
    hold[2] = attr_.get(intervals.get(), (*ctx_)[interval_]);
    if (!hold[2]) return -1;
    args[0] = symbol_;
    args[1] = exchange_;
    args[2] = hold[2].get();
    return 3;
}

}  // namespace norvix
