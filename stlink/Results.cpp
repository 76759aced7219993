#include "stlink/Results.h"

#include <cstring>

namespace kw::stlink {

namespace {

struct ReasonInfo {
    Reason reason;
    Code code;
    const char* text;
    const char* english;
};

// The first entry of each code is its default reason.
constexpr ReasonInfo kReasons[] = {
    {Reason::NoProbe, kNoProgrammer,
     "没有找到ST-LINK编程器：请插上ST-LINK/V2、V2-1或V3，用lsusb确认能看到0483:37xx设备后重试。",
     "no ST-LINK programmer found: plug in an ST-LINK/V2, V2-1 or V3, check that lsusb shows a "
     "0483:37xx device, then try again."},
    {Reason::ChosenProbeMissing, kNoProgrammer,
     "没有找到指定的ST-LINK：请用 kwflash list 查看已连接编程器的序列号和USB端口路径。",
     "the chosen ST-LINK is not there: run kwflash list to see the serials and USB port paths of "
     "the programmers attached."},
    {Reason::SerialShared, kNoProgrammer,
     "有多个ST-LINK使用同一序列号：请改用USB端口路径（如1-2）指定编程器。",
     "several ST-LINKs share that serial: choose the programmer by its USB port path (such as 1-2) "
     "instead."},
    {Reason::NoPermission, kNoProgrammer,
     "没有权限访问ST-LINK：请执行 sudo make install-udev 安装udev规则，然后重新插拔编程器。",
     "no permission to use the ST-LINK: run sudo make install-udev to install the udev rule, then "
     "plug the programmer in again."},
    {Reason::ProbeBusy, kNoProgrammer,
     "ST-LINK正被其他程序占用：请关闭OpenOCD等使用编程器的程序后重试。",
     "the ST-LINK is in use by another program: close OpenOCD or whatever else uses the "
     "programmer, then try again."},
    {Reason::NoSwim, kNoProgrammer,
     "此ST-LINK不支持SWIM（如Nucleo板载的ST-LINK）：请换用能烧写STM8的ST-LINK/V2或V3。",
     "this ST-LINK has no SWIM (such as the one on a Nucleo board): use an ST-LINK/V2 or V3 that "
     "can program STM8."},
    {Reason::ProbeUnresponsive, kNoProgrammer, "ST-LINK没有应答：请重新插拔编程器后重试。",
     "the ST-LINK does not answer: plug the programmer in again, then try again."},
    {Reason::BadArgument, kBadArgument,
     "调用参数无效：块地址超出Flash、EEPROM或选项字节的范围，或数据指针为空。",
     "invalid call: a block address outside the flash, EEPROM or option bytes, or a null data "
     "pointer."},
    {Reason::TargetSilent, kTargetSilent,
     "目标芯片没有应答：请检查SWIM、NRST、GND、3.3V四根线的连接和芯片供电后重试。",
     "the target chip does not answer: check the SWIM, NRST, GND and 3.3V wires and the chip's "
     "power, then try again."},
    {Reason::ReadOutProtected, kProtected,
     "芯片已设置读出保护(ROP)：不能读写Flash和EEPROM。解除保护会擦除Flash和EEPROM，"
     "请用 kwflash unlock 解除保护后重试。",
     "the chip has read-out protection (ROP) set: its flash and EEPROM can be neither read nor "
     "written. Removing the protection erases flash and EEPROM: run kwflash unlock, then try "
     "again."},
    {Reason::WriteProtected, kProtected,
     "芯片拒绝写入：Flash被写保护（UBC启动区保护或读出保护）。请用 kwflash options set UBC=0 "
     "解除启动区保护（读出保护用 kwflash unlock）后重试。",
     "the chip refuses the write: the flash is write-protected (UBC boot area or read-out "
     "protection). Remove the boot area protection with kwflash options set UBC=0 (read-out "
     "protection with kwflash unlock), then try again."},
    {Reason::ProtectionKept, kProtected,
     "解除读出保护失败：写入ROP=0x00并复位后芯片仍受保护。请检查芯片供电后再执行 kwflash unlock。",
     "removing the read-out protection failed: the chip is still protected after ROP was written "
     "0x00 and the chip reset. Check the chip's power, then run kwflash unlock again."},
    {Reason::VerifyMismatch, kVerifyMismatch,
     "校验失败：芯片中的数据与写入的不一致。请重新下载；反复出现时请检查供电和接线。",
     "verify failed: the chip holds other bytes than were written. Write again; if it recurs, "
     "check power and wiring."},
    {Reason::ProgramTimeout, kProgramTimeout,
     "芯片编程超时：Flash没有报告写入完成。请检查芯片供电，重新下载。",
     "programming timed out: the flash never reported the end of a write. Check the chip's power, "
     "then write again."},
    {Reason::ProbeLost, kProbeLost,
     "传输中与ST-LINK的连接中断：请检查USB线，重新插拔编程器后再下载。",
     "the connection to the ST-LINK was lost during the transfer: check the USB cable, plug the "
     "programmer in again, then write again."},
    {Reason::ImageTooLarge, kImageTooLarge,
     "程序超出芯片的Flash容量：此芯片只有4096字节Flash(STM8S103F2)"
     "，请缩小程序或换用8192字节的STM8S103F3。",
     "the program is larger than the chip's flash: this chip has only 4096 bytes (STM8S103F2); "
     "make the program smaller or use the 8192-byte STM8S103F3."},
    {Reason::InternalFault, kInternalFault,
     "编程库内部错误（如内存不足）：芯片内容可能不完整，请重新下载；反复出现时请报告此问题。",
     "internal fault of the programmer library (such as out of memory): the chip's content may be "
     "incomplete; write again and report this if it recurs."},
};

const ReasonInfo* find(Reason reason) noexcept {
    for (const ReasonInfo& info : kReasons)
        if (info.reason == reason)
            return &info;
    return nullptr;
}

} // namespace

Code codeOf(Reason reason) noexcept {
    const ReasonInfo* info = find(reason);
    return info != nullptr ? info->code : kInternalFault;
}

const char* textOf(Reason reason, Language language) noexcept {
    const ReasonInfo* info = find(reason);
    if (info == nullptr)
        return "";
    return language == Language::English ? info->english : info->text;
}

bool languageNamed(std::string_view name, Language& language) noexcept {
    if (name == "zh")
        language = Language::Chinese;
    else if (name == "en")
        language = Language::English;
    else
        return false;
    return true;
}

bool defaultReasonOf(ResultCode code, Reason& reason) noexcept {
    for (const ReasonInfo& info : kReasons) {
        if (info.code == code) {
            reason = info.reason;
            return true;
        }
    }
    return false;
}

Failure::Failure(Reason reason) : std::runtime_error(textOf(reason)), reason_(reason) {}

Failure::Failure(Reason reason, const std::string& text)
    : std::runtime_error(text), reason_(reason), text_(text) {}

int copyTextCut(const char* text, char* buffer, int size) noexcept {
    const std::size_t length = std::strlen(text);
    if (buffer != nullptr && size > 0) {
        std::size_t cut =
            length < static_cast<std::size_t>(size) ? length : static_cast<std::size_t>(size - 1);
        // Back off over continuation bytes so the cut falls between characters.
        while (cut > 0 && cut < length && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
            --cut;
        std::memcpy(buffer, text, cut);
        buffer[cut] = '\0';
    }
    return static_cast<int>(length);
}

} // namespace kw::stlink
