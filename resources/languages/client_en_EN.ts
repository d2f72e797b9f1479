<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_EN">
<context>
    <name>K3Device</name>
    <message>
        <source>Erase error!</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>Update error!</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>Update OK!</source>
        <translation>Update successfully</translation>
    </message>
    <message>
        <source>Update firmware file damag!</source>
        <translation>invalid file</translation>
    </message>
    <message>
        <source>Update invalid file!</source>
        <translation>invalid file</translation>
    </message>
</context>
<context>
    <name>M7Device</name>
    <message>
        <source>Erase error!</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>Update error!</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>Update OK!</source>
        <translation>Update successfully</translation>
    </message>
    <message>
        <source>Update file md5 error!</source>
        <translation>Error(MD5)</translation>
    </message>
    <message>
        <source>Update file type error!</source>
        <translation>invalid file</translation>
    </message>
    <message>
        <source>Update invalid file!</source>
        <translation>invalid file</translation>
    </message>
</context>
<context>
    <name>T5Device</name>
    <message>
        <source>Corrupted file unauthorized!</source>
        <translation>invalid file</translation>
    </message>
    <message>
        <source>The firmware is empty!</source>
        <translation>invalid file</translation>
    </message>
    <message>
        <source>Data backup error!</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>Erase error!</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>Firmware data restore error!</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>Write to flash data verify error!</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>Write to flash error!</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>Firmware lost!</source>
        <translation>Firmware lost!</translation>
    </message>
    <message>
        <source>The adapter&apos;s settings could not be read!</source>
        <translation>The adapter&apos;s settings could not be read!</translation>
    </message>
    <message>
        <source>The firmware is too large for the adapter!</source>
        <translation>The firmware is too large for the adapter!</translation>
    </message>
    <message>
        <source>The backup file is empty or cannot be read!</source>
        <translation>The backup file is empty or cannot be read!</translation>
    </message>
    <message>
        <source>Update the adapter to firmware 5.5.0 or later first!</source>
        <translation>Update the adapter to firmware 5.5.0 or later first!</translation>
    </message>
    <message>
        <source>The backup file holds damaged data!</source>
        <translation>The backup file holds damaged data!</translation>
    </message>
</context>
</TS>
