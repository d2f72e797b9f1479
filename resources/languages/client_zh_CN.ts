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
</context>
</TS>
