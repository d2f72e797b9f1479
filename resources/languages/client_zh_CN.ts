<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>FirmwareManage</name>
    <message>
        <source>Brivane data backup</source>
        <translation>数据备份</translation>
    </message>
    <message>
        <source>Brivane data restore</source>
        <translation>数据恢复</translation>
    </message>
    <message>
        <source>The device is connecting...</source>
        <translation>正在连接...</translation>
    </message>
    <message>
        <source>The device is not connected or has not entered upgrade mode as instructed</source>
        <translation>设备未连接，或未按说明进入升级模式</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>确定</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>The firmware entry of the catalogue is not valid!</source>
        <translation>固件目录中的条目无效！</translation>
    </message>
    <message>
        <source>The firmware could not be downloaded!</source>
        <translation>无法下载固件！</translation>
    </message>
    <message>
        <source>The downloaded firmware is damaged!</source>
        <translation>下载的固件已损坏！</translation>
    </message>
    <message>
        <source>The firmware could not be saved!</source>
        <translation>无法保存固件！</translation>
    </message>
    <message>
        <source>The firmware catalogue could not be read!</source>
        <translation>无法读取固件目录！</translation>
    </message>
    <message>
        <source>The firmware version is not valid!</source>
        <translation>固件版本无效！</translation>
    </message>
    <message>
        <source>The adapter was found but cannot be opened: no permission for %1. Install the package %2, whose udev rule gives the user at this computer access to the adapters, then plug the adapter in again.</source>
        <translation>已找到适配器，但无法打开：没有 %1 的访问权限。请安装软件包 %2（其 udev 规则允许本机用户访问适配器），然后重新插入适配器。</translation>
    </message>
    <message>
        <source>The adapter was found but cannot be opened: no permission for %1, although the udev rule %2 is installed. It gives access only to the user at this computer&apos;s own screen and keyboard. If that is you, run &quot;%3&quot; and plug the adapter in again.</source>
        <translation>已找到适配器，但无法打开：虽然已安装 udev 规则 %2，但没有 %1 的访问权限。该规则只允许坐在本机屏幕和键盘前的用户访问。如果这就是您，请运行“%3”，然后重新插入适配器。</translation>
    </message>
</context>
<context>
    <name>FirmwareUpgrader</name>
    <message>
        <source>Firmware lost</source>
        <translation>固件丢失！请升级固件！</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>确定</translation>
    </message>
    <message>
        <source>Restore Default</source>
        <translation>恢复出厂设置</translation>
    </message>
    <message>
        <source>SN: </source>
        <translation>序列号：</translation>
    </message>
    <message>
        <source>The data will be erased and then restore default!</source>
        <translation>数据将被擦除，并恢复出厂设置！</translation>
    </message>
    <message>
        <source>Update Firmware</source>
        <translation>升级固件</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>Boot Mode</source>
        <translation>启动模式</translation>
    </message>
    <message>
        <source>Data Backup</source>
        <translation>数据备份</translation>
    </message>
    <message>
        <source>Data Restore</source>
        <translation>数据恢复</translation>
    </message>
    <message>
        <source>LOCAL</source>
        <translation>本地</translation>
    </message>
    <message>
        <source>New Version</source>
        <translation>新版本</translation>
    </message>
    <message>
        <source>OTA</source>
        <translation>OTA</translation>
    </message>
</context>
<context>
    <name>GuideStart</name>
    <message>
        <source>Connect Brivane T5 to PC while holding the button.
Release the button until the LED indicator is stable green.</source>
        <translation>1. 按住按键，同时将 Brivane T5 连接到电脑。
2. 待 LED 指示灯常亮绿色后，松开按键。</translation>
    </message>
    <message>
        <source>Connect Brivane M7 to PC while holding the button
Release the button until the LED indicator is stable green.</source>
        <translation>1. 按住按键，同时将 Brivane M7 连接到电脑。
2. 待 LED 指示灯常亮绿色后，松开按键。</translation>
    </message>
    <message>
        <source>Connect Brivane K3 to PC auto into upgrade mode.</source>
        <translation>将 Brivane K3 连接到电脑，即可自动进入升级模式。</translation>
    </message>
    <message>
        <source>Quick start guide</source>
        <translation>快速入门</translation>
    </message>
    <message>
        <source>Select product</source>
        <translation>选择产品</translation>
    </message>
    <message>
        <source>Enter</source>
        <translation>进入</translation>
    </message>
</context>
<context>
    <name>K3Device</name>
    <message>
        <source>Erase error!</source>
        <translation>擦除错误！</translation>
    </message>
    <message>
        <source>Update error!</source>
        <translation>升级错误！</translation>
    </message>
    <message>
        <source>Update OK!</source>
        <translation>升级成功！</translation>
    </message>
    <message>
        <source>Update firmware file damag!</source>
        <translation>无效的文件！</translation>
    </message>
    <message>
        <source>Update invalid file!</source>
        <translation>无效的文件！</translation>
    </message>
</context>
<context>
    <name>M7Device</name>
    <message>
        <source>Erase error!</source>
        <translation>擦除错误！</translation>
    </message>
    <message>
        <source>Update error!</source>
        <translation>升级错误！</translation>
    </message>
    <message>
        <source>Update OK!</source>
        <translation>升级成功！</translation>
    </message>
    <message>
        <source>Update file md5 error!</source>
        <translation>文件 MD5 校验错误！</translation>
    </message>
    <message>
        <source>Update file type error!</source>
        <translation>无效的文件！</translation>
    </message>
    <message>
        <source>Update invalid file!</source>
        <translation>无效的文件！</translation>
    </message>
</context>
<context>
    <name>Main</name>
    <message>
        <source>English</source>
        <translation>English</translation>
    </message>
    <message>
        <source>Chinese</source>
        <translation>中文</translation>
    </message>
    <message>
        <source>Japanese</source>
        <translation>日本語</translation>
    </message>
    <message>
        <source>Russian</source>
        <translation>русский</translation>
    </message>
    <message>
        <source>French</source>
        <translation>Français</translation>
    </message>
    <message>
        <source>Back</source>
        <translation>返回</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Brivane Firmware is already running!</source>
        <translation>Brivane Firmware Tool 已在运行！</translation>
    </message>
</context>
<context>
    <name>T5Device</name>
    <message>
        <source>Corrupted file unauthorized!</source>
        <translation>无效的文件！</translation>
    </message>
    <message>
        <source>The firmware is empty!</source>
        <translation>无效的文件！</translation>
    </message>
    <message>
        <source>Data backup error!</source>
        <translation>数据备份错误！</translation>
    </message>
    <message>
        <source>Erase error!</source>
        <translation>擦除错误！</translation>
    </message>
    <message>
        <source>Firmware data restore error!</source>
        <translation>数据恢复错误！</translation>
    </message>
    <message>
        <source>Write to flash data verify error!</source>
        <translation>写入校验错误！</translation>
    </message>
    <message>
        <source>Write to flash error!</source>
        <translation>写入错误！</translation>
    </message>
    <message>
        <source>Firmware lost!</source>
        <translation>固件丢失！</translation>
    </message>
    <message>
        <source>The adapter&apos;s settings could not be read!</source>
        <translation>无法读取适配器的设置！</translation>
    </message>
    <message>
        <source>The firmware is too large for the adapter!</source>
        <translation>固件过大，超出该适配器的容量！</translation>
    </message>
    <message>
        <source>The backup file is empty or cannot be read!</source>
        <translation>备份文件为空或无法读取！</translation>
    </message>
    <message>
        <source>Update the adapter to firmware 5.5.0 or later first!</source>
        <translation>请先将适配器固件升级到 5.5.0 或更高版本！</translation>
    </message>
    <message>
        <source>The backup file holds damaged data!</source>
        <translation>备份文件中的数据已损坏！</translation>
    </message>
    <message>
        <source>The adapter could not be read completely!</source>
        <translation>无法完整读取适配器！</translation>
    </message>
    <message>
        <source>Another adapter was plugged in; check the adapter and try again!</source>
        <translation>已插入另一个适配器；请检查适配器后重试！</translation>
    </message>
    <message>
        <source>The file is not a firmware for this adapter!</source>
        <translation>该文件不是此适配器的固件！</translation>
    </message>
    <message>
        <source>The firmware version is not valid!</source>
        <translation>固件版本无效！</translation>
    </message>
    <message>
        <source>The settings could not be saved on this computer; nothing was written!</source>
        <translation>无法在此电脑上保存设置；未写入任何内容！</translation>
    </message>
    <message>
        <source>The adapter&apos;s settings were restored from the copy saved on %1.</source>
        <translation>已从 %1 保存的副本恢复适配器设置。</translation>
    </message>
    <message>
        <source>The adapter&apos;s settings are damaged. The next update writes back the copy saved on %1.</source>
        <translation>适配器设置已损坏。下次升级时将写回 %1 保存的副本。</translation>
    </message>
    <message>
        <source>No saved settings of this adapter were found!</source>
        <translation>未找到此适配器已保存的设置！</translation>
    </message>
    <message>
        <source>The adapter&apos;s settings were lost; factory settings were written.</source>
        <translation>适配器设置已丢失；已写入出厂设置。</translation>
    </message>
</context>
</TS>
