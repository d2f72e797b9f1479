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
        <translation>正在连接</translation>
    </message>
    <message>
        <source>The device is not connected or has not entered upgrade mode as instructed</source>
        <translation>未找到 Brivane 设备</translation>
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
        <translation>升级成功</translation>
    </message>
    <message>
        <source>Update firmware file damag!</source>
        <translation>无效文件</translation>
    </message>
    <message>
        <source>Update invalid file!</source>
        <translation>无效文件</translation>
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
        <translation>升级成功</translation>
    </message>
    <message>
        <source>Update file md5 error!</source>
        <translation>错误（MD5）</translation>
    </message>
    <message>
        <source>Update file type error!</source>
        <translation>无效文件</translation>
    </message>
    <message>
        <source>Update invalid file!</source>
        <translation>无效文件</translation>
    </message>
</context>
<context>
    <name>T5Device</name>
    <message>
        <source>Corrupted file unauthorized!</source>
        <translation>无效文件</translation>
    </message>
    <message>
        <source>The firmware is empty!</source>
        <translation>无效文件</translation>
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
        <translation>固件对该适配器来说太大！</translation>
    </message>
    <message>
        <source>The backup file is empty or cannot be read!</source>
        <translation>备份文件为空或无法读取！</translation>
    </message>
    <message>
        <source>Update the adapter to firmware 5.5.0 or later first!</source>
        <translation>请先将适配器固件更新到 5.5.0 或更高版本！</translation>
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
        <translation>适配器设置已损坏。下次更新时将写回 %1 保存的副本。</translation>
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
