#include "emulator/Probe.h"

#include <libusb.h>

namespace kw::emu {

// Placeholder until the probe model lands: a probe that is never on the bus.
class Probe::Impl {
public:
    Options options;
};

Options optionsFromEnvironment() {
    return {};
}

Probe::Probe(Options options) : impl_(std::make_unique<Impl>()) {
    impl_->options = std::move(options);
}
Probe::~Probe() = default;
std::uint16_t Probe::vendorId() const {
    return 0x0483;
}
std::uint16_t Probe::productId() const {
    return impl_->options.productId;
}
bool Probe::present() const {
    return false;
}
int Probe::open() {
    return LIBUSB_ERROR_NO_DEVICE;
}
void Probe::close() {}
int Probe::claimInterface(int) {
    return LIBUSB_ERROR_NO_DEVICE;
}
int Probe::releaseInterface(int) {
    return LIBUSB_ERROR_NO_DEVICE;
}
int Probe::resetDevice() {
    return LIBUSB_ERROR_NO_DEVICE;
}
int Probe::bulkTransfer(unsigned char, unsigned char*, int, int* transferred, unsigned) {
    *transferred = 0;
    return LIBUSB_ERROR_NO_DEVICE;
}
std::vector<std::uint8_t> Probe::peek(std::uint32_t, std::size_t length) const {
    return std::vector<std::uint8_t>(length);
}
void Probe::poke(std::uint32_t, const std::vector<std::uint8_t>&) {}
Statistics Probe::statistics() const {
    return {};
}

} // namespace kw::emu
