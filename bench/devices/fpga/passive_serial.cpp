#include "devices/fpga/passive_serial.h"

namespace bench {

PassiveSerialFpga::PassiveSerialFpga(const FpgaConfig &config)
{
    power_up(config);
}

void PassiveSerialFpga::power_up(const FpgaConfig &config)
{
    config_ = config;
    // After power-on reset a device with nCONFIG high waits for data (or,
    // from an earlier configuration kept alive, runs the user design).
    state_ = config.start_configured ? State::UserMode : State::Receiving;
    ready_at_ = 0;
    conf_done_in_error_ = false;
    pins_known_ = false;
    nconfig_ = true;
    dclk_ = false;
    bits_ = 0;
    received_.clear();
    mismatch_ = false;
    mismatch_bit_ = 0;
    rising_edges_ = 0;
    nconfig_pulses_ = 0;
    nconfig_fell_ = 0;
    nconfig_low_ = 0;
    init_seen_ = 0;
}

void PassiveSerialFpga::advance(Micros now)
{
    if (state_ == State::Clearing && config_.fault != FpgaFault::NStatusStuckLow && now >= ready_at_)
        state_ = State::Receiving;
}

void PassiveSerialFpga::take_bit(bool bit)
{
    if (config_.fault == FpgaFault::ErrorAtBit && bits_ == config_.error_bit) {
        state_ = State::Error;
        return;
    }
    if (!mismatch_ && bits_ / 8 < config_.design.size()) {
        const DesignByte &want = config_.design[bits_ / 8];
        if (!want.valid || ((want.value >> (bits_ % 8)) & 1u) != (bit ? 1u : 0u)) {
            mismatch_ = true;
            mismatch_bit_ = bits_;
        }
    }
    if (bits_ % 8 == 0)
        received_.push_back(0);
    if (bit)
        received_.back() = static_cast<std::uint8_t>(received_.back() | (1u << (bits_ % 8)));
    ++bits_;
    if (mismatch_ && (bits_ % kFrameBits == 0 || bits_ == config_.config_bits)) {
        // The frame's CRC fails: nSTATUS goes low, and nothing more is taken.
        state_ = State::Error;
        return;
    }
    if (bits_ != config_.config_bits)
        return;
    switch (config_.fault) {
    case FpgaFault::ConfDoneNeverRises:
        break;  // goes on taking bits
    case FpgaFault::ConfDoneWithNStatusLow:
        state_ = State::Error;
        conf_done_in_error_ = true;
        break;
    default:
        state_ = config_.init_clocks == 0 ? State::UserMode : State::Initializing;
        break;
    }
}

void PassiveSerialFpga::set_pins(bool nconfig, bool dclk, bool data0, Micros now)
{
    if (!pins_known_) {
        // First sight of the cable: levels only, no edges.
        pins_known_ = true;
        nconfig_ = nconfig;
        dclk_ = dclk;
        if (!nconfig) {
            state_ = State::Reset;
            nconfig_fell_ = now;
        }
        return;
    }
    advance(now);
    bool rising = dclk && !dclk_;
    dclk_ = dclk;
    if (!nconfig) {
        if (nconfig_) {
            ++nconfig_pulses_;
            nconfig_fell_ = now;
        }
        nconfig_ = false;
        state_ = State::Reset;
        bits_ = 0;
        received_.clear();
        mismatch_ = false;
        mismatch_bit_ = 0;
        conf_done_in_error_ = false;
        init_seen_ = 0;
        if (rising)
            ++rising_edges_;
        return;
    }
    if (!nconfig_) {
        nconfig_ = true;
        nconfig_low_ = now - nconfig_fell_;
        state_ = State::Clearing;
        ready_at_ = now + config_.nstatus_delay;
    }
    if (!rising)
        return;
    ++rising_edges_;
    if (state_ == State::Receiving) {
        take_bit(data0);
    } else if (state_ == State::Initializing) {
        if (++init_seen_ >= config_.init_clocks)
            state_ = State::UserMode;
    }
}

PassiveSerialFpga::State PassiveSerialFpga::state(Micros now)
{
    advance(now);
    return state_;
}

bool PassiveSerialFpga::nstatus(Micros now)
{
    if (config_.fault == FpgaFault::NStatusStuckLow)
        return false;
    switch (state(now)) {
    case State::Reset:
    case State::Clearing:
    case State::Error:
        return false;
    default:
        return true;
    }
}

bool PassiveSerialFpga::conf_done(Micros now)
{
    switch (state(now)) {
    case State::Initializing:
    case State::UserMode:
        return true;
    case State::Error:
        return conf_done_in_error_;
    default:
        return false;
    }
}

void PassiveSerialCable::drive(const PortOutputs &lines, Micros now)
{
    if (device_)
        device_->set_pins(lines.init, lines.strobe, (lines.data & 0x01) != 0, now);
}

PortInputs PassiveSerialCable::sense(Micros now)
{
    PortInputs in;  // the lines the cable leaves open float high
    if (device_) {
        in.busy = device_->nstatus(now);
        in.paper_end = device_->conf_done(now);
    }
    return in;
}

} // namespace bench
