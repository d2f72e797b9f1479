<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
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
</context>
</TS>
